// The Linux host's machine for the Win32 calls program: a private KORVO_ROOT, the simulated
// adapter's control device served by a thread of the program, and the registry as the file the
// host layer reads.
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "adapter_server.h"
#include "support/private_root.h"
#include "test_machine.h"

namespace korvo::calls {
namespace {

struct HostMachine {
    test::PrivateRoot root;
    adapter::AdapterModel model;
    std::unique_ptr<adapter::AdapterServer> server;
    std::thread serving;
};
std::unique_ptr<HostMachine> machine;

// The REGEDIT4 form of a value's data.
std::string RegFileData(const RegistryValue& value) {
    char text[16];
    if (value.type == REG_DWORD && value.data.size() == 4) {
        std::snprintf(text, sizeof text, "dword:%02x%02x%02x%02x", value.data[3], value.data[2],
                      value.data[1], value.data[0]);
        return text;
    }
    std::string out =
        value.type == REG_BINARY ? "hex:" : "hex(" + std::to_string(value.type) + "):";
    for (size_t i = 0; i < value.data.size(); ++i) {
        std::snprintf(text, sizeof text, i == 0 ? "%02x" : ",%02x", value.data[i]);
        out += text;
    }
    return out;
}

}  // namespace

bool PrepareMachine(std::string* error) {
    machine = std::make_unique<HostMachine>();
    machine->server =
        std::make_unique<adapter::AdapterServer>(machine->model, adapter::DefaultServerPaths());
    *error = machine->server->Open();
    if (!error->empty()) {
        return false;
    }
    machine->serving = std::thread([] { machine->server->Run(); });
    return true;
}

void EndMachine() {
    if (machine->serving.joinable()) {
        machine->server->RequestStop();
        machine->serving.join();
    }
    machine.reset();
}

const char* MachineName() {
    return "the Linux host";
}

bool UnderWine() {
    return false;
}

bool WriteRegistry(std::span<const RegistryValue> values, std::string* error) {
    std::ofstream file(machine->root.path() + "/registry.reg", std::ios::binary | std::ios::trunc);
    file << "REGEDIT4\r\n";
    for (const RegistryValue& value : values) {
        file << "\r\n[HKEY_LOCAL_MACHINE\\" << value.key << "]\r\n";
        if (value.name != nullptr) {
            file << '"' << value.name << "\"=" << RegFileData(value) << "\r\n";
        }
    }
    if (!file.flush()) {
        *error = "cannot write " + machine->root.path() + "/registry.reg";
        return false;
    }
    return true;
}

}  // namespace korvo::calls

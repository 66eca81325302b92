// The installed components on disk: an index and one MIF copy per component.
#include "component_database.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "sp_platform.h"

namespace korvo::sp {
namespace {

constexpr const char* kIndexName = "index.json";

std::string MifName(uint32_t id) {
    return std::to_string(id) + ".mif";
}

}  // namespace

bool WriteFileAtomically(const std::string& path, const std::string& contents, std::string* error) {
    return os::ReplaceFileContents(path, contents, error);
}

std::unique_ptr<ComponentDatabase> ComponentDatabase::Open(const std::string& root,
                                                           std::string* error) {
    const std::string directory = root + "/components";
    if (!os::EnsurePrivateDirectory(directory)) {
        *error = "cannot create the database directory " + directory + ": " + std::strerror(errno);
        return nullptr;
    }
    auto database = std::make_unique<ComponentDatabase>(directory);
    std::lock_guard lock(database->mutex_);
    if (!database->RefreshLocked(error)) {
        return nullptr;
    }
    return database;
}

std::string ComponentDatabase::IndexPath() const {
    return directory_ + "/" + kIndexName;
}

ComponentDatabase::Stamp ComponentDatabase::CurrentStamp() const {
    const os::FileStamp file = os::StampOf(IndexPath());
    Stamp stamp;
    if (file.size >= 0) {
        stamp.device = file.device;
        stamp.inode = file.identity;
        stamp.size = file.size;
        stamp.modifiedNs = file.modifiedNs;
    }
    return stamp;
}

bool ComponentDatabase::RefreshLocked(std::string* error) {
    const Stamp stamp = CurrentStamp();
    if (stamp == stamp_) {
        return true;
    }
    const std::string indexPath = IndexPath();
    std::string text;
    bool missing = false;
    if (!os::ReadWholeFile(indexPath, &text, error, &missing)) {
        if (missing) {
            error->clear();
            entries_.clear();  // nothing installed yet
            nextId_ = 1;
            stamp_ = stamp;
            return true;
        }
        return false;
    }
    const auto damaged = [&](const std::string& what) {
        *error = "the component database is damaged: " + what + "; remove " + directory_ +
                 " to start with an empty database";
        return false;
    };
    const auto index = nlohmann::json::parse(text, nullptr, false);
    if (!index.is_object() || !index.contains("nextId") || !index["nextId"].is_number_unsigned() ||
        !index.contains("components") || !index["components"].is_array()) {
        return damaged(indexPath + " is not a component index");
    }
    const uint32_t nextId = index["nextId"].get<uint32_t>();
    std::vector<Entry> entries;
    for (const auto& item : index["components"]) {
        if (!item.is_object() || !item.contains("id") || !item["id"].is_number_unsigned() ||
            !item.contains("source") || !item["source"].is_string()) {
            return damaged(indexPath + " holds an entry without an id and a source");
        }
        Entry entry;
        entry.id = item["id"].get<uint32_t>();
        entry.source = item["source"].get<std::string>();
        if (entry.id == 0 || entry.id >= nextId) {
            return damaged(indexPath + " lists component " + std::to_string(entry.id) +
                           " outside the ids it has given");
        }
        // A component read before keeps its model: a copy never changes once listed.
        for (const Entry& known : entries_) {
            if (known.id == entry.id) {
                entry.component = known.component;
            }
        }
        if (!entry.component) {
            const std::string copy = directory_ + "/" + MifName(entry.id);
            std::string mifText;
            std::string readError;
            if (!os::ReadWholeFile(copy, &mifText, &readError)) {
                return damaged(readError);
            }
            auto parsed = mif::ParseMifText(mifText, copy);
            if (!parsed) {
                return damaged(parsed.error.Describe());
            }
            entry.component = std::make_shared<const mif::Component>(std::move(*parsed.component));
        }
        entries.push_back(std::move(entry));
    }
    entries_ = std::move(entries);
    nextId_ = nextId;
    stamp_ = stamp;
    return true;
}

std::vector<ComponentDatabase::Entry> ComponentDatabase::Components() {
    std::lock_guard lock(mutex_);
    std::string ignored;
    RefreshLocked(&ignored);  // a damaged index keeps the last good view; Install says why
    return entries_;
}

std::shared_ptr<const mif::Component> ComponentDatabase::Find(uint32_t id) {
    std::lock_guard lock(mutex_);
    std::string ignored;
    RefreshLocked(&ignored);
    for (const Entry& entry : entries_) {
        if (entry.id == id) {
            return entry.component;
        }
    }
    return nullptr;
}

bool ComponentDatabase::WriteIndex(const std::vector<Entry>& entries, uint32_t nextId,
                                   std::string* error) const {
    nlohmann::json index = {{"nextId", nextId}, {"components", nlohmann::json::array()}};
    for (const Entry& entry : entries) {
        index["components"].push_back(
            {{"id", entry.id}, {"file", MifName(entry.id)}, {"source", entry.source}});
    }
    return WriteFileAtomically(
        directory_ + "/" + kIndexName,
        index.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n", error);
}

bool ComponentDatabase::Install(const std::string& source, const std::string& text,
                                mif::Component component, uint32_t* id, std::string* error) {
    std::lock_guard lock(mutex_);
    // Another process sharing the directory may install at the same time: one at a time, each
    // from the index as it stands on disk.
    const std::string lockPath = directory_ + "/index.lock";
    os::FileLock indexLock;
    if (!indexLock.Acquire(lockPath, error)) {
        return false;
    }
    return [&] {
        if (!RefreshLocked(error)) {
            return false;
        }
        if (nextId_ == 0) {
            *error = "the database has given out every component id";
            return false;
        }
        const uint32_t newId = nextId_;
        const std::string copyPath = directory_ + "/" + MifName(newId);
        if (!WriteFileAtomically(copyPath, text, error)) {
            return false;
        }
        std::vector<Entry> entries = entries_;
        Entry entry;
        entry.id = newId;
        entry.source = source;
        entry.component = std::make_shared<const mif::Component>(std::move(component));
        entries.push_back(entry);
        // The index is what makes the component exist; a copy it does not list is never read.
        if (!WriteIndex(entries, newId + 1, error)) {
            os::RemoveFile(copyPath);
            return false;
        }
        entries_ = std::move(entries);
        nextId_ = newId + 1;
        stamp_ = CurrentStamp();
        *id = newId;
        return true;
    }();  // the lock goes with indexLock
}

}  // namespace korvo::sp

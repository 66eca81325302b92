// Plain-heap DMI records for the benchmarks: an attribute-data record and a counted string
// are one calloc each, and freeing the record frees the string it holds, as the library's
// deep free does.
#include "heap_dmi.h"

#include <cstdlib>
#include <cstring>

#include "dmi/dmi_api.h"
#include "state/service_state.h"

namespace korvo::bench {
namespace {

int memoryToken;  // its address is the memory descriptor
size_t outstanding = 0;

void* NewBlock(size_t size, DmiErrorStatus* status) {
    void* block = std::calloc(1, size);
    if (block != nullptr) {
        ++outstanding;
    }
    if (status != nullptr) {
        *status = block != nullptr ? DMIERR_NO_ERROR : DMIERR_OUT_OF_MEMORY;
    }
    return block;
}

void FreeBlock(void* block) {
    if (block != nullptr) {
        --outstanding;
        std::free(block);
    }
}

DmiAttributeData* NewAttributeData(DmiMemDsc, DmiErrorStatus* status) {
    return static_cast<DmiAttributeData*>(NewBlock(sizeof(DmiAttributeData), status));
}

// The body follows the counted string in the same block.
DmiOctetString* NewOctetString(DmiUnsigned size, const void* bytes, DmiMemDsc,
                               DmiErrorStatus* status) {
    auto* string = static_cast<DmiOctetString*>(NewBlock(sizeof(DmiOctetString) + size, status));
    if (string == nullptr) {
        return nullptr;
    }
    string->size = size;
    string->body = reinterpret_cast<char*>(string + 1);
    if (bytes != nullptr && size != 0) {
        std::memcpy(string->body, bytes, size);
    }
    return string;
}

void FreeAttributeData(DmiAttributeData* data, DmiMemDsc) {
    if (data == nullptr) {
        return;
    }
    if (data->data.type == MIF_DISPLAYSTRING || data->data.type == MIF_OCTETSTRING) {
        FreeBlock(data->data.value.str);
    }
    FreeBlock(data);
}

}  // namespace

HeapDmi::HeapDmi()
    : previousNewAttributeData_(DmiApi.DmiNewAttributeData),
      previousFreeAttributeData_(DmiApi.DmiFreeAttributeData),
      previousNewOctetString_(DmiApi.DmiNewOctetString),
      previousDescriptor_(serviceState.memoryDescriptor) {
    DmiApi.DmiNewAttributeData = NewAttributeData;
    DmiApi.DmiFreeAttributeData = FreeAttributeData;
    DmiApi.DmiNewOctetString = NewOctetString;
    serviceState.memoryDescriptor = &memoryToken;
}

HeapDmi::~HeapDmi() {
    DmiApi.DmiNewAttributeData = previousNewAttributeData_;
    DmiApi.DmiFreeAttributeData = previousFreeAttributeData_;
    DmiApi.DmiNewOctetString = previousNewOctetString_;
    serviceState.memoryDescriptor = previousDescriptor_;
}

size_t HeapDmi::Outstanding() {
    return outstanding;
}

}  // namespace korvo::bench

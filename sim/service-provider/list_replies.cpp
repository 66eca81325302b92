// List replies packed into single blocks: a first pass measures, a second places.
#include "list_replies.h"

#include <cstring>

#include "provider.h"

namespace korvo::sp {
namespace {

// Lays records out in one block. Without a base it only measures; with one it also writes.
class Packer {
  public:
    explicit Packer(std::byte* base = nullptr) : base_(base) {}

    template <typename T>
    T* Reserve(size_t count = 1) {
        offset_ = (offset_ + alignof(T) - 1) / alignof(T) * alignof(T);
        T* at = base_ != nullptr ? reinterpret_cast<T*>(base_ + offset_) : nullptr;
        offset_ += sizeof(T) * count;
        return at;
    }

    template <typename T>
    void Store(T* at, size_t index, const T& value) {
        if (base_ != nullptr) {
            at[index] = value;
        }
    }

    DmiString* String(const std::string& text) {
        DmiString* string = Reserve<DmiString>();
        char* body = Reserve<char>(text.size() + 1);
        if (base_ != nullptr) {
            string->size = static_cast<DmiUnsigned>(text.size());
            string->body = body;
            std::memcpy(body, text.data(), text.size());
        }
        return string;
    }

    size_t size() const { return offset_; }

  private:
    std::byte* base_;
    size_t offset_ = 0;
};

template <typename List, typename Fill>
List* Pack(DmiHeap& heap, RecordType type, const char* kind, Fill fill) {
    Packer measure;
    fill(measure);
    auto* block = static_cast<std::byte*>(heap.Allocate(measure.size(), type, kind));
    if (block == nullptr) {
        return nullptr;
    }
    Packer place(block);
    fill(place);
    return reinterpret_cast<List*>(block);
}

}  // namespace

DmiComponentList* BuildComponentList(DmiHeap& heap,
                                     const std::vector<const ComponentDatabase::Entry*>& entries,
                                     bool withDescription, bool exactMatch, const char* kind) {
    return Pack<DmiComponentList>(heap, RecordType::ComponentList, kind, [&](Packer& packer) {
        auto* list = packer.Reserve<DmiComponentList>();
        auto* infos = packer.Reserve<DmiComponentInfo>(entries.size());
        packer.Store(list, 0, DmiComponentList{static_cast<DmiUnsigned>(entries.size()), infos});
        for (size_t i = 0; i < entries.size(); ++i) {
            DmiComponentInfo info{};
            info.id = entries[i]->id;
            info.name = packer.String(entries[i]->component->name);
            info.description =
                withDescription ? packer.String(entries[i]->component->description) : nullptr;
            info.exactMatch = exactMatch ? 1 : 0;
            packer.Store(infos, i, info);
        }
    });
}

DmiClassNameList* BuildClassNameList(DmiHeap& heap, const std::vector<const mif::Group*>& groups,
                                     const char* kind) {
    return Pack<DmiClassNameList>(heap, RecordType::ClassNameList, kind, [&](Packer& packer) {
        auto* list = packer.Reserve<DmiClassNameList>();
        auto* infos = packer.Reserve<DmiClassNameInfo>(groups.size());
        packer.Store(list, 0, DmiClassNameList{static_cast<DmiUnsigned>(groups.size()), infos});
        for (size_t i = 0; i < groups.size(); ++i) {
            packer.Store(infos, i,
                         DmiClassNameInfo{groups[i]->id, packer.String(groups[i]->className)});
        }
    });
}

DmiGroupList* BuildGroupList(DmiHeap& heap, const std::vector<const mif::Group*>& groups,
                             bool withDescription, const char* kind) {
    return Pack<DmiGroupList>(heap, RecordType::GroupList, kind, [&](Packer& packer) {
        auto* list = packer.Reserve<DmiGroupList>();
        auto* infos = packer.Reserve<DmiGroupInfo>(groups.size());
        packer.Store(list, 0, DmiGroupList{static_cast<DmiUnsigned>(groups.size()), infos});
        for (size_t i = 0; i < groups.size(); ++i) {
            const mif::Group& group = *groups[i];
            DmiGroupInfo info{};
            info.id = group.id;
            info.name = packer.String(group.name);
            info.className = packer.String(group.className);
            info.description = withDescription ? packer.String(group.description) : nullptr;
            if (!group.keys.empty()) {
                // The key attributes by id and type; their values mean nothing here.
                auto* keys = packer.Reserve<DmiAttributeValues>();
                auto* entries = packer.Reserve<DmiAttributeData>(group.keys.size());
                packer.Store(
                    keys, 0,
                    DmiAttributeValues{static_cast<DmiUnsigned>(group.keys.size()), entries});
                for (size_t k = 0; k < group.keys.size(); ++k) {
                    DmiAttributeData key{};
                    key.id = group.keys[k];
                    const mif::Attribute* attribute = group.FindAttribute(group.keys[k]);
                    key.data.type = attribute != nullptr ? mif::TypeCode(attribute->type)
                                                         : DmiUnsigned{MIF_INTEGER};
                    if (IsStringType(key.data.type)) {
                        key.data.type = MIF_INTEGER;  // no string value to point at
                    }
                    packer.Store(entries, k, key);
                }
                info.keyList = keys;
            }
            packer.Store(infos, i, info);
        }
    });
}

DmiAttributeList* BuildAttributeList(DmiHeap& heap,
                                     const std::vector<const mif::Attribute*>& attributes,
                                     bool withDescription, const char* kind) {
    return Pack<DmiAttributeList>(heap, RecordType::AttributeList, kind, [&](Packer& packer) {
        auto* list = packer.Reserve<DmiAttributeList>();
        auto* infos = packer.Reserve<DmiAttributeInfo>(attributes.size());
        packer.Store(list, 0, DmiAttributeList{static_cast<DmiUnsigned>(attributes.size()), infos});
        for (size_t i = 0; i < attributes.size(); ++i) {
            const mif::Attribute& attribute = *attributes[i];
            DmiAttributeInfo info{};
            info.id = attribute.id;
            info.name = packer.String(attribute.name);
            info.description = withDescription ? packer.String(attribute.description) : nullptr;
            info.storage = attribute.storage == mif::Storage::Specific ? MIF_SPECIFIC : MIF_COMMON;
            switch (attribute.access) {
                case mif::Access::ReadOnly:
                    info.access = MIF_READ_ONLY;
                    break;
                case mif::Access::ReadWrite:
                    info.access = MIF_READ_WRITE;
                    break;
                case mif::Access::WriteOnly:
                    info.access = MIF_WRITE_ONLY;
                    break;
            }
            info.type = mif::TypeCode(attribute.type);
            info.maxSize = attribute.maxSize;
            packer.Store(infos, i, info);
        }
    });
}

DmiStringList* BuildStringList(DmiHeap& heap, const std::vector<std::string>& strings,
                               const char* kind) {
    return Pack<DmiStringList>(heap, RecordType::StringList, kind, [&](Packer& packer) {
        auto* list = packer.Reserve<DmiStringList>();
        auto* entries = packer.Reserve<DmiString*>(strings.size());
        packer.Store(list, 0, DmiStringList{static_cast<DmiUnsigned>(strings.size()), entries});
        for (size_t i = 0; i < strings.size(); ++i) {
            packer.Store(entries, i, packer.String(strings[i]));
        }
    });
}

}  // namespace korvo::sp

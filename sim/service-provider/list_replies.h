// The replies of the List calls, each built as one block (the list, its entries and their
// strings together), so that the matching Free call releases exactly what the List call made.
#pragma once

#include <string>
#include <vector>

#include "component_database.h"
#include "dmi/dmi.h"
#include "dmi_heap.h"
#include "mif_parser.h"

namespace korvo::sp {

// Picks the items a List call asks for: DMI_UNIQUE the one with `id` (every item when `id` is
// 0), DMI_FIRST all from the first, DMI_NEXT those after `id`; at most `maxCount` (0: no limit).
// False for an unknown mode.
template <typename Item, typename IdOf>
bool SelectItems(const std::vector<Item>& items, DmiUnsigned requestMode, DmiUnsigned maxCount,
                 DmiId id, IdOf idOf, std::vector<const Item*>* selected) {
    selected->clear();
    for (const Item& item : items) {
        const DmiId itemId = idOf(item);
        bool wanted;
        switch (requestMode) {
            case 1:  // unique
                wanted = id == 0 || itemId == id;
                break;
            case 2:  // first
                wanted = true;
                break;
            case 3:  // next
                wanted = itemId > id;
                break;
            default:
                return false;
        }
        if (wanted && (maxCount == 0 || selected->size() < maxCount)) {
            selected->push_back(&item);
        }
    }
    return true;
}

DmiComponentList* BuildComponentList(DmiHeap& heap,
                                     const std::vector<const ComponentDatabase::Entry*>& entries,
                                     bool withDescription, bool exactMatch, const char* kind);
DmiClassNameList* BuildClassNameList(DmiHeap& heap, const std::vector<const mif::Group*>& groups,
                                     const char* kind);
DmiGroupList* BuildGroupList(DmiHeap& heap, const std::vector<const mif::Group*>& groups,
                             bool withDescription, const char* kind);
DmiAttributeList* BuildAttributeList(DmiHeap& heap,
                                     const std::vector<const mif::Attribute*>& attributes,
                                     bool withDescription, const char* kind);
DmiStringList* BuildStringList(DmiHeap& heap, const std::vector<std::string>& strings,
                               const char* kind);

}  // namespace korvo::sp

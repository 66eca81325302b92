// Fuzzes the MIF reader: ParseMifText on any text. A parse either gives a
// component or says on which line it failed; a component's group ids and each group's
// attribute ids are unique, keys name attributes of their group, and every enumeration finds
// each of its items by number and by text, the first listed winning.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string_view>

#include "mif_parser.h"

namespace {

void Check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz_mif_parser: %s\n", what);
        std::abort();
    }
}

void CheckEnumeration(const korvo::mif::Enumeration& enumeration) {
    Check(!enumeration.items.empty(), "an enumeration without items");
    std::set<int64_t> numbers;
    for (const korvo::mif::EnumItem& item : enumeration.items) {
        Check(numbers.insert(item.number).second, "an enumeration lists a number twice");
        Check(enumeration.FindNumber(item.number) == &item, "an item its number does not find");
        const korvo::mif::EnumItem* byText = enumeration.FindText(item.text);
        Check(byText != nullptr && byText <= &item, "an item its text does not find first");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const korvo::mif::ParseResult result = korvo::mif::ParseMifText(text, "fuzz.mif");
    if (!result) {
        Check(result.error.line > 0, "a refusal names no line");
        Check(!result.error.message.empty(), "a refusal says nothing");
        return 0;
    }
    const korvo::mif::Component& component = *result.component;
    for (const korvo::mif::Enumeration& enumeration : component.enumerations) {
        CheckEnumeration(enumeration);
    }
    std::set<uint32_t> groups;
    for (const korvo::mif::Group& group : component.groups) {
        Check(groups.insert(group.id).second, "two groups share an id");
        Check(component.FindGroup(group.id) == &group, "a group its id does not find");
        std::set<uint32_t> attributes;
        for (const korvo::mif::Attribute& attribute : group.attributes) {
            Check(attributes.insert(attribute.id).second, "two attributes of a group share an id");
            if (attribute.enumeration != nullptr) {
                CheckEnumeration(*attribute.enumeration);
            }
        }
        for (const uint32_t key : group.keys) {
            Check(attributes.contains(key), "a key that is no attribute of its group");
        }
    }
    return 0;
}

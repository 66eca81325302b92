// A large MIF file for the reader: one enumeration of `items` items named by the attributes of
// `groups` groups (the last naming item items - groups), the shape that makes duplicate checks
// and enumeration lookups show how they grow. Shared by the reader's test and its benchmark.
#pragma once

#include <string>

namespace korvo::mif::test {

inline std::string LargeMifText(int items, int groups) {
    std::string text = "start component\nname = \"C\"\nstart enum\nname = \"Big\"\n";
    for (int i = 0; i < items; ++i) {
        text += std::to_string(i) + " = \"v" + std::to_string(i) + "\"\n";
    }
    text += "end enum\n";
    for (int g = 1; g <= groups; ++g) {
        text += "start group\nname = \"G\"\nclass = \"X\"\nid = " + std::to_string(g) +
                "\nkey = 1\nstart attribute\nname = \"A\"\nid = 1\ntype = \"Big\"\nvalue = \"v" +
                std::to_string(items - g) + "\"\nend attribute\nend group\n";
    }
    text += "end component\n";
    return text;
}

}  // namespace korvo::mif::test

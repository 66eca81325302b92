// Writes a component's SMIv2 module from the service provider's description of it: the
// object-identifier layout of oid_mapping.h spelled as OBJECT-TYPEs, with descriptors made
// from the MIF's names (camel case, unique in the module, at most 64 characters).
#include "snmp/mib_writer.h"

#include <algorithm>
#include <cctype>
#include <set>
#include <sstream>
#include <vector>

#include "dmi/dmi.h"
#include "korvo/ascii.h"
#include "snmp/health.h"

namespace korvo::snmp {

namespace {

using management::AttributeInfo;
using management::ComponentInfo;

// enterprises, the arc every vendor's prefix lies under.
const Oid kEnterprises = {1, 3, 6, 1, 4, 1};
constexpr size_t kMaxDescriptor = 64;
constexpr size_t kDescriptionWidth = 72;
// When this generator's output last changed, as LAST-UPDATED gives it.
constexpr const char* kRevision = "202612100000Z";
// The maximum size SMIv2 allows a DisplayString.
constexpr uint32_t kDisplayStringMax = 255;

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    std::string word;
    for (const char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            word += c;
        } else if (!word.empty()) {
            words.push_back(std::move(word));
            word.clear();
        }
    }
    if (!word.empty()) {
        words.push_back(std::move(word));
    }
    return words;
}

bool AllUpper(const std::string& word) {
    return std::none_of(word.begin(), word.end(),
                        [](char c) { return std::islower(static_cast<unsigned char>(c)); });
}

// "First adapter address" -> "FirstAdapterAddress"; "KORVO" stays as written.
std::string UpperCamel(const std::string& text) {
    std::string result;
    for (std::string word : Words(text)) {
        word[0] = AsciiUpper(word[0]);
        result += word;
    }
    return result;
}

// "KORVO Ethernet" -> "korvoEthernet"; a leading digit gets a letter before it.
std::string LowerCamel(const std::string& text) {
    const std::vector<std::string> words = Words(text);
    std::string result;
    for (size_t i = 0; i < words.size(); ++i) {
        std::string word = words[i];
        if (i == 0) {
            if (AllUpper(word)) {
                std::transform(word.begin(), word.end(), word.begin(), AsciiLower);
            } else {
                word[0] = AsciiLower(word[0]);
            }
        } else {
            word[0] = AsciiUpper(word[0]);
        }
        result += word;
    }
    if (result.empty() || std::isdigit(static_cast<unsigned char>(result[0]))) {
        result = "v" + result;
    }
    return result;
}

// Descriptors of one module: each unique (regardless of case, as SMIv2 asks) and short enough.
class Names {
  public:
    std::string Take(std::string wanted, uint32_t id) {
        if (wanted.size() > kMaxDescriptor) {
            wanted = wanted.substr(0, kMaxDescriptor - 12) + std::to_string(id);
        }
        std::string name = wanted;
        for (int n = 2; !taken_.insert(Folded(name)).second; ++n) {
            name = wanted.substr(0, kMaxDescriptor - 12) + "N" + std::to_string(id) + "V" +
                   std::to_string(n);
        }
        return name;
    }

  private:
    static std::string Folded(std::string text) {
        std::transform(text.begin(), text.end(), text.begin(), AsciiLower);
        return text;
    }
    std::set<std::string> taken_;
};

std::string Quoted(const std::string& text, const std::string& indent) {
    std::string clean;
    for (const char c : text) {
        clean += c == '"' ? '\'' : (c == '\n' || c == '\r' || c == '\t' ? ' ' : c);
    }
    std::string result = "\"";
    size_t column = indent.size() + 1;
    std::istringstream words(clean);
    bool first = true;
    for (std::string word; words >> word;) {
        if (!first && column + 1 + word.size() > kDescriptionWidth) {
            result += "\n" + indent + " ";
            column = indent.size() + 1;
        } else if (!first) {
            result += ' ';
            ++column;
        }
        result += word;
        column += word.size();
        first = false;
    }
    return result + "\"";
}

std::string Describe(const std::string& description, const std::string& fallback) {
    return description.empty() ? fallback : description;
}

bool IsEventGroup(const GroupTree& group) {
    const std::string& className = group.info.className;
    const std::string first = className.substr(0, className.find('|'));
    constexpr std::string_view kSuffix = "EventGeneration";
    return first.size() >= kSuffix.size() &&
           AsciiEqualFold(std::string_view(first).substr(first.size() - kSuffix.size()), kSuffix);
}

std::string Access(const AttributeInfo& attribute) {
    // SMIv2 has no write-only: such an attribute is read-write and its reads find no instance.
    return attribute.access == "read-only" ? "read-only" : "read-write";
}

std::string EnumLabel(const std::string& text, int64_t value, std::set<std::string>& used) {
    std::string label = LowerCamel(text);
    if (label.size() > kMaxDescriptor) {
        label = label.substr(0, kMaxDescriptor - 12);
    }
    if (!used.insert(label).second) {
        label += "V" + std::to_string(value < 0 ? -value : value);
        used.insert(label);
    }
    return label;
}

// `isIndex`: the attribute is a key, so its integers are sub-identifiers: never negative.
std::string Syntax(const AttributeInfo& attribute, bool isIndex = false) {
    const uint32_t type = attribute.typeCode();
    if (!attribute.enumNames.empty()) {
        std::set<std::string> used;
        std::string syntax = "INTEGER {";
        bool first = true;
        for (const auto& [value, text] : attribute.enumNames) {
            syntax += first ? " " : ", ";
            syntax += EnumLabel(text, value, used) + "(" + std::to_string(value) + ")";
            first = false;
        }
        return syntax + " }";
    }
    const uint32_t size = attribute.maxSize;
    switch (type) {
        case MIF_DISPLAYSTRING:
            if (size > kDisplayStringMax) {
                return "OCTET STRING (SIZE (0.." + std::to_string(size) + "))";
            }
            return "DisplayString (SIZE (0.." +
                   std::to_string(size == 0 ? kDisplayStringMax : size) + "))";
        case MIF_DATE:
            return "DisplayString (SIZE (0..28))";
        case MIF_OCTETSTRING:
            return size == 0 ? "OCTET STRING"
                             : "OCTET STRING (SIZE (0.." + std::to_string(size) + "))";
        case MIF_INTEGER:
            return isIndex ? "Integer32 (0..2147483647)" : "Integer32";
        default:
            return SmiTypeOf(type).syntax;
    }
}

struct GroupNames {
    std::string node;  // the group's node, or its table
    std::string entry;
    std::string entryType;
    std::vector<std::string> attributes;  // per attribute, in order
};

// What a module imports beside the SMIv2 macros every module uses.
struct Imports {
    std::set<std::string> smi = {"MODULE-IDENTITY", "OBJECT-TYPE", "enterprises"};
    bool integer64 = false;      // the textual convention DmiInteger64
    bool displayString = false;  // SNMPv2-TC's DisplayString
    bool notifications = false;  // an event-generation group, so NOTIFICATION-TYPE and -GROUP
};

// The module's name: `moduleName`, or the component's when that is empty. Throws MibError
// when the prefix is not under enterprises or the name is not one SMIv2 takes.
std::string CheckedModuleName(const ComponentTree& component, const Oid& prefix,
                              const std::string& moduleName) {
    if (!StartsWith(prefix, kEnterprises) || prefix.size() <= kEnterprises.size()) {
        throw MibError(
            "the MIB is written for a prefix under enterprises (1.3.6.1.4.1.N...), not " +
            FormatOid(prefix));
    }
    const std::string module = moduleName.empty() ? DefaultModuleName(component) : moduleName;
    const bool validModule =
        !module.empty() && std::isupper(static_cast<unsigned char>(module[0])) &&
        module.back() != '-' && module.find("--") == std::string::npos &&
        std::all_of(module.begin(), module.end(),
                    [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-'; });
    if (!validModule) {
        throw MibError("\"" + module +
                       "\" is not a module name: an upper-case letter, then letters, digits and "
                       "single hyphens");
    }
    return module;
}

// One module, written part by part in the order SMIv2 wants. Descriptors are taken in the
// order the parts are written, so that each one's uniqueness suffix is stable.
class MibWriter {
  public:
    MibWriter(const ComponentTree& component, const Oid& prefix, std::string module)
        : component_(component), prefix_(prefix), module_(std::move(module)) {
        const std::vector<std::string> componentWords = Words(component.info.name);
        base_ = LowerCamel(componentWords.empty() ? "dmi" + std::to_string(component.info.id)
                                                  : componentWords[0]);
        moduleNode_ = names_.Take(base_ + "MIB", component.info.id);
        notifications_ = names_.Take(base_ + "Notifications", 0);
        conformance_ = names_.Take(base_ + "Conformance", 0);
    }

    std::string Write() {
        NameGroups();
        WriteImports();
        WriteModuleIdentity();
        if (imports_.integer64) {
            WriteInteger64Convention();
        }
        for (size_t g = 0; g < component_.groups.size(); ++g) {
            WriteGroup(component_.groups[g], groupNames_[g]);
        }
        WriteHealth();
        WriteConformance(WriteNotifications());
        return out_.str();
    }

  private:
    // The descriptors of every group and attribute, and what their types import.
    void NameGroups() {
        for (const GroupTree& group : component_.groups) {
            GroupNames named;
            std::string stem = UpperCamel(group.info.name);
            if (group.IsTable() && stem.size() > 5 && stem.ends_with("Table")) {
                stem.resize(stem.size() - 5);
            }
            if (stem.empty()) {
                stem = "Group" + std::to_string(group.info.id);
            }
            const std::string groupBase = base_ + stem;
            if (group.IsTable()) {
                named.node = names_.Take(groupBase + "Table", group.info.id);
                named.entry = names_.Take(groupBase + "Entry", group.info.id);
                named.entryType = names_.Take(UpperCamel(base_) + stem + "Entry", group.info.id);
                named.entryType[0] = AsciiUpper(named.entryType[0]);
            } else {
                named.node = names_.Take(groupBase, group.info.id);
            }
            for (const AttributeInfo& attribute : group.attributes) {
                std::string attributeStem = UpperCamel(attribute.name);
                if (attributeStem.empty()) {
                    attributeStem = "Attribute" + std::to_string(attribute.id);
                }
                named.attributes.push_back(names_.Take(groupBase + attributeStem, attribute.id));
                NoteImports(attribute);
            }
            groupNames_.push_back(std::move(named));
        }
        // dmi-snmp's health objects, named after the groups so that a group's name stays its
        // own.
        health_ = names_.Take(base_ + "Health", 0);
        for (const HealthObjectInfo& object : kHealthObjects) {
            healthNames_.push_back(names_.Take(base_ + "Health" + object.stem, object.id));
        }
        imports_.smi.insert({"Counter32", "Unsigned32"});
        imports_.displayString = true;
        imports_.notifications =
            std::any_of(component_.groups.begin(), component_.groups.end(), IsEventGroup);
        if (imports_.notifications) {
            imports_.smi.insert("NOTIFICATION-TYPE");
        }
    }

    void NoteImports(const AttributeInfo& attribute) {
        const uint32_t type = attribute.typeCode();
        if (!attribute.enumNames.empty()) {
            return;
        }
        imports_.integer64 = imports_.integer64 || type == MIF_INTEGER64;
        imports_.displayString =
            imports_.displayString ||
            ((type == MIF_DISPLAYSTRING && attribute.maxSize <= kDisplayStringMax) ||
             type == MIF_DATE);
        const std::string syntax = SmiTypeOf(type).syntax;
        if (syntax == "Integer32" || syntax == "Counter32" || syntax == "Gauge32" ||
            syntax == "Counter64") {
            imports_.smi.insert(syntax);
        }
    }

    void WriteImports() {
        out_ << "-- The SNMP view of DMI component " << component_.info.id << ", \""
             << component_.info.name
             << "\", as dmi-snmp serves it.\n-- Written by `dmi-snmp mib` from the component's "
                "MIF; regenerate it rather than edit it.\n\n";
        out_ << module_ << " DEFINITIONS ::= BEGIN\n\nIMPORTS\n    ";
        bool first = true;
        for (const std::string& name : imports_.smi) {
            out_ << (first ? "" : ", ") << name;
            first = false;
        }
        out_ << "\n        FROM SNMPv2-SMI\n";
        if (imports_.integer64 || imports_.displayString) {
            out_ << "    " << (imports_.integer64 ? "TEXTUAL-CONVENTION" : "")
                 << (imports_.integer64 && imports_.displayString ? ", " : "")
                 << (imports_.displayString ? "DisplayString" : "") << "\n        FROM SNMPv2-TC\n";
        }
        out_ << "    MODULE-COMPLIANCE, OBJECT-GROUP"
             << (imports_.notifications ? ", NOTIFICATION-GROUP" : "")
             << "\n        FROM SNMPv2-CONF;\n\n";
    }

    // The module identity, then the prefix's arcs below enterprises, each a node of its own,
    // and the notifications' and conformance arcs.
    void WriteModuleIdentity() {
        const ComponentInfo& info = component_.info;
        const std::string mibDescription =
            Describe(info.description, info.name) + " DMI component " + std::to_string(info.id) +
            ": every group is a subtree numbered by its group id; a group without keys holds one "
            "instance of each attribute (numbered by attribute id, instance 0), a group with keys "
            "is a table whose rows are indexed by their key values.";
        out_ << moduleNode_ << " MODULE-IDENTITY\n"
             << "    LAST-UPDATED \"" << kRevision << "\"\n"
             << "    ORGANIZATION " << Quoted("The makers of " + info.name, "    ") << "\n"
             << "    CONTACT-INFO "
             << Quoted("The administrator of this machine's DMI service provider.", "    ") << "\n"
             << "    DESCRIPTION\n        " << Quoted(mibDescription, "        ") << "\n"
             << "    REVISION \"" << kRevision << "\"\n"
             << "    DESCRIPTION\n        "
             << Quoted("Written by dmi-snmp from the component's MIF.", "        ") << "\n";

        std::vector<std::string> arcs;
        for (size_t i = kEnterprises.size(); i < prefix_.size(); ++i) {
            arcs.push_back(names_.Take(base_ + "Arc" + std::to_string(arcs.size() + 1), 0));
        }
        out_ << "    ::= { " << arcs.back() << " " << info.id << " }\n\n";
        for (size_t i = 0; i < arcs.size(); ++i) {
            out_ << arcs[i] << " OBJECT IDENTIFIER ::= { " << (i == 0 ? "enterprises" : arcs[i - 1])
                 << " " << prefix_[kEnterprises.size() + i] << " }\n";
        }
        out_ << notifications_ << " OBJECT IDENTIFIER ::= { " << moduleNode_ << " "
             << kNotifications << " }\n";
        out_ << conformance_ << " OBJECT IDENTIFIER ::= { " << notifications_ << " " << kConformance
             << " }\n";
        out_ << health_ << " OBJECT IDENTIFIER ::= { " << conformance_ << " " << kHealthArc
             << " }\n\n";
    }

    // dmi-snmp's own objects on the component's health (health.h).
    void WriteHealth() {
        for (size_t h = 0; h < std::size(kHealthObjects); ++h) {
            const HealthObjectInfo& object = kHealthObjects[h];
            out_ << healthNames_[h] << " OBJECT-TYPE\n    SYNTAX " << object.syntax;
            if (object.units != nullptr) {
                out_ << "\n    UNITS \"" << object.units << "\"";
            }
            out_ << "\n    MAX-ACCESS read-only\n    STATUS current\n    DESCRIPTION\n        "
                 << Quoted(std::string(object.description) + " Served by dmi-snmp itself.",
                           "        ")
                 << "\n    ::= { " << health_ << " " << object.id << " }\n\n";
        }
    }

    void WriteInteger64Convention() {
        out_ << "DmiInteger64 ::= TEXTUAL-CONVENTION\n"
             << "    DISPLAY-HINT \"20a\"\n    STATUS current\n    DESCRIPTION\n        "
             << Quoted(
                    "A DMI 64-bit signed integer as its decimal text (an optional minus sign "
                    "and digits), since SMIv2 has no signed 64-bit type. Set it the same way.",
                    "        ")
             << "\n    SYNTAX OCTET STRING (SIZE (1..20))\n\n";
    }

    // A group: its node, or its table, entry and row type; then its attributes.
    void WriteGroup(const GroupTree& group, const GroupNames& named) {
        if (group.IsTable()) {
            WriteTable(group, named);
        } else {
            out_ << named.node << " OBJECT IDENTIFIER ::= { " << moduleNode_ << " " << group.info.id
                 << " }\n\n";
        }
        const std::string& parentNode = group.IsTable() ? named.entry : named.node;
        for (size_t a = 0; a < group.attributes.size(); ++a) {
            const AttributeInfo& attribute = group.attributes[a];
            std::string description = Describe(attribute.description, attribute.name) +
                                      " (DMI attribute " + std::to_string(attribute.id) + ", " +
                                      attribute.type + ")";
            if (attribute.access == "write-only") {
                description += " Write-only: a read finds no instance.";
            }
            const bool isIndex = std::find(group.info.keys.begin(), group.info.keys.end(),
                                           attribute.id) != group.info.keys.end();
            out_ << named.attributes[a] << " OBJECT-TYPE\n    SYNTAX " << Syntax(attribute, isIndex)
                 << "\n    MAX-ACCESS " << Access(attribute) << "\n    STATUS current\n"
                 << "    DESCRIPTION\n        " << Quoted(description, "        ") << "\n    ::= { "
                 << parentNode << " " << attribute.id << " }\n\n";
        }
    }

    void WriteTable(const GroupTree& group, const GroupNames& named) {
        const std::string groupDescription = Describe(group.info.description, group.info.name) +
                                             " (DMI group " + std::to_string(group.info.id) +
                                             ", class " + group.info.className + ")";
        out_ << named.node << " OBJECT-TYPE\n    SYNTAX SEQUENCE OF " << named.entryType
             << "\n    MAX-ACCESS not-accessible\n    STATUS current\n    DESCRIPTION\n        "
             << Quoted(groupDescription, "        ") << "\n    ::= { " << moduleNode_ << " "
             << group.info.id << " }\n\n";
        out_ << named.entry << " OBJECT-TYPE\n    SYNTAX " << named.entryType
             << "\n    MAX-ACCESS not-accessible\n    STATUS current\n    DESCRIPTION\n        "
             << Quoted("One row of " + group.info.name + ", indexed by its keys.", "        ")
             << "\n    INDEX { ";
        for (size_t k = 0; k < group.info.keys.size(); ++k) {
            const AttributeInfo* key = group.Find(group.info.keys[k]);
            if (key == nullptr) {
                throw MibError("group " + std::to_string(group.info.id) + " has key attribute " +
                               std::to_string(group.info.keys[k]) + " that it does not list");
            }
            out_ << (k == 0 ? "" : ", ")
                 << named.attributes[static_cast<size_t>(key - group.attributes.data())];
        }
        out_ << " }\n    ::= { " << named.node << " " << kTableEntry << " }\n\n";
        out_ << named.entryType << " ::= SEQUENCE {\n";
        for (size_t a = 0; a < group.attributes.size(); ++a) {
            std::string syntax = Syntax(group.attributes[a]);
            if (syntax.starts_with("INTEGER {")) {
                syntax = "INTEGER";
            } else if (const auto size = syntax.find(" (SIZE"); size != std::string::npos) {
                syntax.resize(size);
            }
            out_ << "    " << named.attributes[a] << " " << syntax
                 << (a + 1 < group.attributes.size() ? "," : "") << "\n";
        }
        out_ << "}\n\n";
    }

    // A NOTIFICATION-TYPE for each event-generation group; returns their descriptors.
    std::vector<std::string> WriteNotifications() {
        std::vector<std::string> notificationNames;
        for (size_t g = 0; g < component_.groups.size(); ++g) {
            const GroupTree& group = component_.groups[g];
            if (!IsEventGroup(group)) {
                continue;
            }
            std::string stem = UpperCamel(group.info.name);
            if (stem.ends_with("Generation")) {
                stem.resize(stem.size() - 10);
            }
            const std::string name = names_.Take(base_ + stem, group.info.id);
            notificationNames.push_back(name);
            out_ << name << " NOTIFICATION-TYPE\n    OBJECTS { ";
            for (size_t a = 0; a < groupNames_[g].attributes.size(); ++a) {
                out_ << (a == 0 ? "" : ", ") << groupNames_[g].attributes[a];
            }
            out_ << " }\n    STATUS current\n    DESCRIPTION\n        "
                 << Quoted("The DMI event of " + group.info.name + " (" + group.info.className +
                               "). Its variable bindings are the event's rows in order: this "
                               "group's row, then the rows of the groups the event speaks of, "
                               "each value under its own object identifier and row index.",
                           "        ")
                 << "\n    ::= { " << notifications_ << " " << group.info.id << " }\n\n";
        }
        return notificationNames;
    }

    // Conformance: one object group per DMI group, one for the notifications, and a
    // compliance statement that asks for all of them.
    void WriteConformance(const std::vector<std::string>& notificationNames) {
        const std::string groupsNode = names_.Take(base_ + "Groups", 0);
        const std::string compliancesNode = names_.Take(base_ + "Compliances", 0);
        // PREFIX.C.0.0.1 compliances, .2 object groups (numbered by group id), .3 notifications;
        // .4 holds the health objects themselves, .5 their object group.
        out_ << compliancesNode << " OBJECT IDENTIFIER ::= { " << conformance_ << " 1 }\n";
        out_ << groupsNode << " OBJECT IDENTIFIER ::= { " << conformance_ << " 2 }\n\n";
        std::vector<std::string> conformanceGroups = WriteObjectGroups(groupsNode);
        const std::string healthGroup = names_.Take(health_ + "Group", 0);
        conformanceGroups.push_back(healthGroup);
        WriteObjectGroup(healthGroup, healthNames_, "The component's health as dmi-snmp sees it.",
                         conformance_, kHealthGroupArc);
        if (!notificationNames.empty()) {
            const std::string name = names_.Take(base_ + "NotificationGroup", 0);
            conformanceGroups.push_back(name);
            out_ << name << " NOTIFICATION-GROUP\n    NOTIFICATIONS { ";
            for (size_t n = 0; n < notificationNames.size(); ++n) {
                out_ << (n == 0 ? "" : ", ") << notificationNames[n];
            }
            out_ << " }\n    STATUS current\n    DESCRIPTION\n        "
                 << Quoted("The component's DMI events.", "        ") << "\n    ::= { "
                 << conformance_ << " 3 }\n\n";
        }
        const std::string compliance = names_.Take(base_ + "Compliance", 0);
        out_ << compliance << " MODULE-COMPLIANCE\n    STATUS current\n    DESCRIPTION\n        "
             << Quoted("What an agent that serves this component through dmi-snmp implements.",
                       "        ")
             << "\n    MODULE -- this module\n        MANDATORY-GROUPS { ";
        for (size_t n = 0; n < conformanceGroups.size(); ++n) {
            out_ << (n == 0 ? "" : ",\n                           ") << conformanceGroups[n];
        }
        out_ << " }\n    ::= { " << compliancesNode << " 1 }\n\nEND\n";
    }

    // An OBJECT-GROUP of each DMI group's attributes; returns their descriptors.
    std::vector<std::string> WriteObjectGroups(const std::string& groupsNode) {
        std::vector<std::string> objectGroups;
        for (size_t g = 0; g < component_.groups.size(); ++g) {
            const GroupTree& group = component_.groups[g];
            if (group.attributes.empty()) {
                continue;
            }
            const std::string name = names_.Take(groupNames_[g].node + "Group", group.info.id);
            objectGroups.push_back(name);
            WriteObjectGroup(name, groupNames_[g].attributes,
                             "The attributes of DMI group " + std::to_string(group.info.id) + ", " +
                                 group.info.name + ".",
                             groupsNode, group.info.id);
        }
        return objectGroups;
    }

    void WriteObjectGroup(const std::string& name, const std::vector<std::string>& objects,
                          const std::string& description, const std::string& parent, uint32_t arc) {
        out_ << name << " OBJECT-GROUP\n    OBJECTS { ";
        for (size_t a = 0; a < objects.size(); ++a) {
            out_ << (a == 0 ? "" : ",\n              ") << objects[a];
        }
        out_ << " }\n    STATUS current\n    DESCRIPTION\n        "
             << Quoted(description, "        ") << "\n    ::= { " << parent << " " << arc
             << " }\n\n";
    }

    const ComponentTree& component_;
    const Oid& prefix_;
    const std::string module_;
    Names names_;
    std::string base_;  // the component's first word, which every descriptor starts with
    std::string moduleNode_;
    std::string notifications_;
    std::string conformance_;
    std::string health_;
    std::vector<std::string> healthNames_;  // in kHealthObjects' order
    Imports imports_;
    std::vector<GroupNames> groupNames_;  // per group, in order
    std::ostringstream out_;
};

}  // namespace

std::string DefaultModuleName(const ComponentTree& component) {
    std::string name;
    for (std::string word : Words(component.info.name)) {
        std::transform(word.begin(), word.end(), word.begin(), AsciiUpper);
        name += word + "-";
    }
    if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) {
        name = "DMI-COMPONENT-" + std::to_string(component.info.id) + "-" + name;
    }
    return name + "MIB";
}

std::string WriteMib(const ComponentTree& component, const Oid& prefix,
                     const std::string& moduleName) {
    return MibWriter(component, prefix, CheckedModuleName(component, prefix, moduleName)).Write();
}

}  // namespace korvo::snmp

// The typed requests against the protocol's table of ops: every op has a request, and each
// request carries only the members its op takes, with the values it was given.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "korvo/management_protocol.h"
#include "management/management_requests.h"

namespace korvo::management {
namespace {

using nlohmann::json;

// The protocol's member bit of each request member.
unsigned MemberBit(const std::string& name) {
    static const std::pair<const char*, unsigned> kMembers[] = {
        {"component", member::kComponent},   {"group", member::kGroup},
        {"attribute", member::kAttribute},   {"keys", member::kKeys},
        {"attributes", member::kAttributes}, {"count", member::kCount},
        {"value", member::kValue},           {"since", member::kSince},
    };
    for (const auto& [member, bit] : kMembers) {
        if (name == member) {
            return bit;
        }
    }
    return 0;
}

TEST(ManagementRequestsTest, EachOpHasARequestCarryingOnlyItsMembers) {
    const json keys = json::parse(R"([{"id":1,"type":5,"integer":3}])");
    const json value = json::parse(R"({"type":5,"integer":1500})");
    const json attributes = {1, 4};
    const json requests[] = {
        request::ListComponents(),
        request::ListGroups(1),
        request::ListAttributes(1, 5),
        request::Get(1, 5, 4, keys),
        request::GetNext(1, 5, 4, keys),
        request::GetRow(1, 5, keys, attributes),
        request::GetRows(1, 5, keys, 3, attributes),
        request::GetGroup(1, 5, attributes),
        request::Set(1, 5, 4, keys, value),
        request::Events(7),
        request::Subscribe(7),
        request::Stats(),
    };
    std::set<std::string> ops;
    for (const json& request : requests) {
        const std::string name = request.at("op");
        const OpEntry* entry = FindOp(name);
        ASSERT_NE(entry, nullptr) << request.dump();
        ops.insert(name);
        for (const auto& [member, given] : request.items()) {
            if (member == "op") {
                continue;
            }
            EXPECT_NE(entry->members & MemberBit(member), 0u) << name << " carries " << member;
            const json expected = member == "keys"         ? keys
                                  : member == "value"      ? value
                                  : member == "attributes" ? attributes
                                  : member == "component"  ? json(1)
                                  : member == "group"      ? json(5)
                                  : member == "attribute"  ? json(4)
                                  : member == "count"      ? json(3)
                                                           : json(7);
            EXPECT_EQ(given, expected) << name << "." << member;
        }
    }
    EXPECT_EQ(ops.size(), std::size(kOps));
}

TEST(ManagementRequestsTest, OptionalMembersAreLeftOutWhenNotGiven) {
    EXPECT_EQ(request::Events(), json::parse(R"({"op":"events"})"));
    EXPECT_EQ(request::GetGroup(1, 2),
              json::parse(R"({"op":"get-group","component":1,"group":2})"));
    EXPECT_EQ(request::GetRow(1, 2, nullptr, json{3}),
              json::parse(R"({"op":"get-row","component":1,"group":2,"attributes":[3]})"));
    EXPECT_EQ(request::GetRows(1, 2, json::array()),
              json::parse(R"({"op":"get-rows","component":1,"group":2,"keys":[]})"));
}

}  // namespace
}  // namespace korvo::management

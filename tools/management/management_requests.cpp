// The management protocol's requests, built from the op names the protocol header defines.
#include "management/management_requests.h"

#include <string>

#include "korvo/management_protocol.h"

namespace korvo::management::request {
namespace {

using nlohmann::json;

json Op(std::string_view name) {
    return json{{"op", std::string(name)}};
}

json GroupOp(std::string_view name, uint32_t component, uint32_t group) {
    json request = Op(name);
    request["component"] = component;
    request["group"] = group;
    return request;
}

json AttributeOp(std::string_view name, uint32_t component, uint32_t group, uint32_t attribute,
                 const json& keys) {
    json request = GroupOp(name, component, group);
    request["attribute"] = attribute;
    request["keys"] = keys;
    return request;
}

json WithAttributes(json request, const json& attributes) {
    if (!attributes.is_null()) {
        request["attributes"] = attributes;
    }
    return request;
}

}  // namespace

json ListComponents() {
    return Op(op::kListComponents);
}

json ListGroups(uint32_t component) {
    json request = Op(op::kListGroups);
    request["component"] = component;
    return request;
}

json ListAttributes(uint32_t component, uint32_t group) {
    return GroupOp(op::kListAttributes, component, group);
}

json Get(uint32_t component, uint32_t group, uint32_t attribute, const json& keys) {
    return AttributeOp(op::kGet, component, group, attribute, keys);
}

json GetNext(uint32_t component, uint32_t group, uint32_t attribute, const json& keys) {
    return AttributeOp(op::kGetNext, component, group, attribute, keys);
}

json GetRow(uint32_t component, uint32_t group, const json& keys, const json& attributes) {
    json request = GroupOp(op::kGetRow, component, group);
    if (!keys.is_null()) {
        request["keys"] = keys;
    }
    return WithAttributes(std::move(request), attributes);
}

json GetRows(uint32_t component, uint32_t group, const json& keys, std::optional<uint32_t> count,
             const json& attributes) {
    json request = GroupOp(op::kGetRows, component, group);
    request["keys"] = keys;
    if (count) {
        request["count"] = *count;
    }
    return WithAttributes(std::move(request), attributes);
}

json GetGroup(uint32_t component, uint32_t group, const json& attributes) {
    return WithAttributes(GroupOp(op::kGetGroup, component, group), attributes);
}

json Set(uint32_t component, uint32_t group, uint32_t attribute, const json& keys,
         const json& value) {
    json request = AttributeOp(op::kSet, component, group, attribute, keys);
    request["value"] = value;
    return request;
}

json Events(std::optional<uint64_t> since) {
    json request = Op(op::kEvents);
    if (since) {
        request["since"] = *since;
    }
    return request;
}

json Subscribe(uint64_t since) {
    json request = Op(op::kSubscribe);
    request["since"] = since;
    return request;
}

json Stats() {
    return Op(op::kStats);
}

}  // namespace korvo::management::request

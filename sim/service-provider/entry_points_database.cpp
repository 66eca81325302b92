// The DMI entry points of Wcdmi.dll that read the component database: adding a component and
// the List calls of its components, class names, groups, attributes and languages.
#include <algorithm>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "entry_point_frame.h"
#include "list_replies.h"

namespace {

using namespace korvo::sp;
using namespace korvo::sp::entry;

// The components of the database, for the List calls.
DmiErrorStatus ListComponentsCommon(DmiHandle handle, DmiUnsigned requestMode, DmiUnsigned maxCount,
                                    DmiBoolean getDescription, DmiId compId,
                                    const DmiString* className, DmiComponentList** reply,
                                    const char* call) {
    if (reply == nullptr) {
        return DMIERR_ILL_FORMED_COMMAND;
    }
    *reply = nullptr;
    if (!provider.IsManagementHandle(handle)) {
        return DMIERR_ILLEGAL_HANDLE;
    }
    std::string error;
    std::optional<std::string> prefix;
    if (className != nullptr) {
        prefix = std::string();
        if (!provider.heap().ReadString(className, &*prefix, &error)) {
            provider.Log(std::string(call) + ": the class string cannot be read: " + error);
            return DMIERR_ILL_FORMED_COMMAND;
        }
    }
    const auto database = provider.Database(&error);
    if (!database) {
        return DMIERR_DATABASE_CORRUPT;
    }
    const auto all = database->Components();
    std::vector<ComponentDatabase::Entry> matching;
    for (const auto& entry : all) {
        const bool classMatches =
            !prefix ||
            std::any_of(entry.component->groups.begin(), entry.component->groups.end(),
                        [&](const korvo::mif::Group& group) {
                            return group.className.compare(0, prefix->size(), *prefix) == 0;
                        });
        if (classMatches) {
            matching.push_back(entry);
        }
    }
    std::vector<const ComponentDatabase::Entry*> selected;
    if (!SelectItems(
            matching, requestMode, maxCount, compId,
            [](const ComponentDatabase::Entry& entry) { return entry.id; }, &selected)) {
        return DMIERR_ILL_FORMED_COMMAND;
    }
    if (selected.empty()) {
        return DMIERR_COMPONENT_NOT_FOUND;
    }
    return HandOut(reply, [&] {
        return BuildComponentList(provider.heap(), selected, getDescription != 0, true, call);
    });
}

// What a List call names, or the status that says why it is not there.
Found FindForManagement(DmiHandle handle, DmiId compId,
                        std::optional<DmiId> groupId = std::nullopt) {
    if (!provider.IsManagementHandle(handle)) {
        Found refused;
        refused.status = DMIERR_ILLEGAL_HANDLE;
        return refused;
    }
    return provider.Find(compId, groupId);
}

// A List call of the groups of a component or the attributes of a group: the handle and what it
// names checked, the members picked from `membersOf(found)` by the request mode and `memberId`,
// `notFound` when none is picked, and the reply `build(selected)` makes on the provider's heap.
template <typename List, typename MembersOf, typename Build>
DmiErrorStatus ListMembers(DmiHandle handle, DmiUnsigned requestMode, DmiUnsigned maxCount,
                           DmiId compId, std::optional<DmiId> groupId, DmiId memberId,
                           DmiErrorStatus notFound, List** reply, MembersOf membersOf,
                           Build build) {
    if (reply == nullptr) {
        return DMIERR_ILL_FORMED_COMMAND;
    }
    *reply = nullptr;
    const Found found = FindForManagement(handle, compId, groupId);
    if (found.status != DMIERR_NO_ERROR) {
        return found.status;
    }
    const auto& members = membersOf(found);
    using Member = typename std::remove_cvref_t<decltype(members)>::value_type;
    std::vector<const Member*> selected;
    if (!SelectItems(
            members, requestMode, maxCount, memberId,
            [](const Member& member) { return member.id; }, &selected)) {
        return DMIERR_ILL_FORMED_COMMAND;
    }
    if (selected.empty()) {
        return notFound;
    }
    return HandOut(reply, [&] { return build(selected); });
}

}  // namespace

// ---- The database ---------------------------------------------------------------------------

KORVO_EXPORT DmiErrorStatus DmiAddComponent(DmiHandle handle, DmiFileDataList* files, DmiId* compId,
                                            DmiStringList** errors) {
    return Guarded("DmiAddComponent", [&]() -> DmiErrorStatus {
        if (errors != nullptr) {
            *errors = nullptr;  // the reasons go to the log
        }
        if (!provider.IsManagementHandle(handle)) {
            return DMIERR_ILLEGAL_HANDLE;
        }
        return provider.AddComponent(files, compId);
    });
}

KORVO_EXPORT DmiErrorStatus DmiListComponents(DmiHandle handle, DmiUnsigned requestMode,
                                              DmiUnsigned maxCount, DmiBoolean getPragma,
                                              DmiBoolean getDescription, DmiId compId,
                                              DmiComponentList** reply) {
    (void)getPragma;  // no MIF of ours carries pragmas
    return Guarded("DmiListComponents", [&] {
        return ListComponentsCommon(handle, requestMode, maxCount, getDescription, compId, nullptr,
                                    reply, "DmiListComponents");
    });
}

KORVO_EXPORT DmiErrorStatus DmiListComponentsByClass(DmiHandle handle, DmiUnsigned requestMode,
                                                     DmiUnsigned maxCount, DmiBoolean getPragma,
                                                     DmiBoolean getDescription, DmiId compId,
                                                     DmiString* className,
                                                     DmiAttributeValues* keyList,
                                                     DmiComponentList** reply) {
    // The key list would select rows of a table the database does not hold; it is not used.
    (void)getPragma;
    (void)keyList;
    return Guarded("DmiListComponentsByClass", [&]() -> DmiErrorStatus {
        if (reply != nullptr) {
            *reply = nullptr;
        }
        if (const DmiErrorStatus refused = provider.RefusedStatus("listcomponentsbyclass")) {
            return refused;
        }
        if (className == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        return ListComponentsCommon(handle, requestMode, maxCount, getDescription, compId,
                                    className, reply, "DmiListComponentsByClass");
    });
}

KORVO_EXPORT DmiErrorStatus DmiListClassNames(DmiHandle handle, DmiUnsigned requestMode,
                                              DmiUnsigned maxCount, DmiId compId,
                                              DmiClassNameList** reply) {
    return Guarded("DmiListClassNames", [&]() -> DmiErrorStatus {
        if (reply == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        *reply = nullptr;
        const Found found = FindForManagement(handle, compId);
        if (found.status != DMIERR_NO_ERROR) {
            return found.status;
        }
        std::vector<const korvo::mif::Group*> selected;
        if (!SelectItems(
                found.component->groups, requestMode == DMI_UNIQUE ? DMI_FIRST : requestMode,
                maxCount, 0, [](const korvo::mif::Group& group) { return group.id; }, &selected)) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        return HandOut(reply, [&] {
            return BuildClassNameList(provider.heap(), selected, "DmiListClassNames");
        });
    });
}

KORVO_EXPORT DmiErrorStatus DmiListGroups(DmiHandle handle, DmiUnsigned requestMode,
                                          DmiUnsigned maxCount, DmiBoolean getPragma,
                                          DmiBoolean getDescription, DmiId compId, DmiId groupId,
                                          DmiGroupList** reply) {
    (void)getPragma;
    return Guarded("DmiListGroups", [&] {
        return ListMembers(
            handle, requestMode, maxCount, compId, std::nullopt, groupId, DMIERR_GROUP_NOT_FOUND,
            reply, [](const Found& found) -> auto& { return found.component->groups; },
            [&](const std::vector<const korvo::mif::Group*>& selected) {
                return BuildGroupList(provider.heap(), selected, getDescription != 0,
                                      "DmiListGroups");
            });
    });
}

KORVO_EXPORT DmiErrorStatus DmiListAttributes(DmiHandle handle, DmiUnsigned requestMode,
                                              DmiUnsigned maxCount, DmiBoolean getPragma,
                                              DmiBoolean getDescription, DmiId compId,
                                              DmiId groupId, DmiId attribId,
                                              DmiAttributeList** reply) {
    (void)getPragma;
    return Guarded("DmiListAttributes", [&] {
        return ListMembers(
            handle, requestMode, maxCount, compId, groupId, attribId, DMIERR_ATTRIBUTE_NOT_FOUND,
            reply, [](const Found& found) -> auto& { return found.group->attributes; },
            [&](const std::vector<const korvo::mif::Attribute*>& selected) {
                return BuildAttributeList(provider.heap(), selected, getDescription != 0,
                                          "DmiListAttributes");
            });
    });
}

KORVO_EXPORT DmiErrorStatus DmiListLanguages(DmiHandle handle, DmiUnsigned maxCount, DmiId compId,
                                             DmiStringList** reply) {
    (void)maxCount;  // there is one language
    return Guarded("DmiListLanguages", [&]() -> DmiErrorStatus {
        if (reply == nullptr) {
            return DMIERR_ILL_FORMED_COMMAND;
        }
        *reply = nullptr;
        if (const DmiErrorStatus status = FindForManagement(handle, compId).status) {
            return status;
        }
        return HandOut(reply, [&] {
            return BuildStringList(provider.heap(), {kLanguage}, "DmiListLanguages");
        });
    });
}

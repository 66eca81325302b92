// The frame every exported DMI entry point of Wcdmi.dll is written in, shared by the
// entry_points*.cpp files: the one Provider of the process, the guard that keeps a C++ exception
// from crossing the C boundary, and the hand-out of a List call's reply.
#pragma once

#include <exception>
#include <new>
#include <string>

#include "dmi/dmi.h"
#include "dmi/dmi_names.h"
#include "korvo_sp.h"
#include "provider.h"

// korvo_sp.h declares every entry point from the published interface's list, so a definition
// whose signature strayed from it would not compile (C functions cannot be overloaded).
#define KORVO_EXPORT extern "C" KORVO_SP_API

namespace korvo::sp::entry {

// The one Provider of the process, defined in entry_points.cpp.
extern Provider provider;

// Runs one entry point; a call it refuses leaves its status in sp.log, except the end of a
// table that every walk meets.
template <typename Body>
DmiErrorStatus Guarded(const char* call, Body body) {
    DmiErrorStatus status = DMIERR_NO_ERROR;
    try {
        status = body();
    } catch (const std::bad_alloc&) {
        status = DMIERR_OUT_OF_MEMORY;
    } catch (const std::exception& failure) {
        provider.Log(std::string(call) + ": " + failure.what());
        status = DMIERR_ILL_FORMED_COMMAND;
    }
    if (status != DMIERR_NO_ERROR && status != DMIERR_ROW_NOT_FOUND) {
        provider.Note(std::string(call) + " refused: " + korvo::dmi::DescribeStatus(status));
    }
    return status;
}

// A List call's reply: one allocation step, then the block built by `build`.
template <typename List, typename Build>
DmiErrorStatus HandOut(List** reply, Build build) {
    if (provider.heap().TakeStep()) {
        return DMIERR_OUT_OF_MEMORY;
    }
    List* list = build();
    if (list == nullptr) {
        return DMIERR_OUT_OF_MEMORY;
    }
    *reply = list;
    return DMIERR_NO_ERROR;
}

}  // namespace korvo::sp::entry

/* The driver's one way into the adapter model shared with the socket simulator: plain C calls with
 * plain buffers, because the driver is C (the kernel headers do not compile as C++) and the model
 * is C++ that needs no kernel headers. */
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What the device does with one control-device call. */
enum KorvoCallOutcome {
    KorvoCallCompleted,    /* succeeds with `bytesReturned` bytes of the output buffer */
    KorvoCallFailed,       /* fails; nothing returned */
    KorvoCallNotAnswering, /* the simulator is stopped: fails as a device that is not ready */
    KorvoCallPending,      /* never answered: left pending until the caller gives up */
};

struct KorvoCallResult {
    enum KorvoCallOutcome outcome;
    uint32_t bytesReturned;
};

/* Zero when the model could not be made. */
int KorvoCreateModel(void);
void KorvoDestroyModel(void);

/* One call: the control code, the caller's input bytes and the caller's output buffer, which holds
 * the record on the way in and the reply on the way out. `elapsed100ns` is the time since the
 * driver started, which drives the traffic counters. */
struct KorvoCallResult KorvoServeCall(uint32_t controlCode, const uint8_t* input,
                                      size_t inputLength, uint8_t* output, size_t outputLength,
                                      uint64_t elapsed100ns);

/* Carries out one control command line of the simulator ("failover 2", "fail 56 silent", ...) and
 * writes the reply into `reply` as device_protocol.h describes, cut to fit. Returns the number of
 * bytes written. `line` and `reply` may share one buffer: the line is read whole before the reply
 * is written. */
size_t KorvoRunControlCommand(const char* line, size_t lineLength, uint8_t* reply,
                              size_t replyCapacity);

/* The kernel services that the C++ runtime of the model uses (kernel_services.c). */
void* KorvoAllocate(size_t size);
void KorvoFree(void* memory);
/* Stops the system with the driver's bug check; `what` says what went wrong. */
__attribute__((noreturn)) void KorvoStop(uintptr_t reason, const char* what);

#ifdef __cplusplus
}
#endif

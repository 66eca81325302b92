/* The simulated adapter driver's second control code, beside the agent's: it carries one control
 * command line of the simulator from a user-mode tool to the driver and the driver's reply back.
 * Shared by the driver (C) and its tool (C++). */
#pragma once

/* CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS): a device-specific
 * function number, buffered, so that the text travels through the system buffer. */
#define KORVO_CONTROL_COMMAND_CODE 0x00222400u

/* A command line longer than this is refused; the longest real one is a `set multicast=...`. */
#define KORVO_MAX_COMMAND_LENGTH 4096u

/* The reply: one byte, KORVO_COMMAND_DONE when the command was carried out and
 * KORVO_COMMAND_REFUSED when it was not, then the text for people (not NUL-terminated; its length
 * is the bytes returned less one). */
#define KORVO_COMMAND_DONE 1u
#define KORVO_COMMAND_REFUSED 0u

/* The tool's reply buffer: room for the whole request log. */
#define KORVO_REPLY_CAPACITY (256u * 1024u)

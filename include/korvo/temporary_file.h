// The temporary file a whole-file replacement writes before renaming it over its target: beside
// the target, and named for the process and the write, so that nothing planted under a name
// known in advance (a file, a directory, a link) can block the write or be written through.
// The host's ReplaceFile and the Windows service provider's both name it so.
#pragma once

#include <atomic>
#include <string>

namespace korvo {

// How many names a replacement tries, each created new, before it gives up: a name is taken
// only by a file left by a process of the same number, or one planted to guess it.
inline constexpr unsigned kTemporaryFileAttempts = 64;

// `path`.tmp.PROCESS.N, with N counting the writes of this process.
inline std::string TemporaryFileFor(const std::string& path, unsigned long process) {
    static std::atomic<unsigned long> writes{0};
    return path + ".tmp." + std::to_string(process) + "." + std::to_string(writes++);
}

}  // namespace korvo

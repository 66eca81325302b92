// The service provider's component database: the MIF files it has installed, each kept as a
// copy under $WIN32DMIPATH/components/<id>.mif and listed in components/index.json with the id
// it was given, so that a restarted agent finds its component again. Every file is written
// whole to a temporary name and renamed into place, so nothing is ever half written. Installs
// take a lock on the directory and read the index afresh, and lookups notice a changed index,
// so processes that share the directory share one database.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mif_parser.h"

namespace korvo::sp {

class ComponentDatabase {
  public:
    struct Entry {
        uint32_t id = 0;
        std::string source;  // the path the MIF was installed from
        std::shared_ptr<const mif::Component> component;
    };

    // Opens the database under `root` (an empty one when nothing was installed yet). Null, with
    // `error` saying which file is damaged and how, when the stored files cannot be read back.
    static std::unique_ptr<ComponentDatabase> Open(const std::string& root, std::string* error);

    std::vector<Entry> Components();  // by id
    std::shared_ptr<const mif::Component> Find(uint32_t id);

    // Stores the MIF text and its model under a new id. False, with `error`, when the files
    // cannot be written; the database is then unchanged.
    bool Install(const std::string& source, const std::string& text, mif::Component component,
                 uint32_t* id, std::string* error);

    const std::string& directory() const { return directory_; }

    explicit ComponentDatabase(std::string directory) : directory_(std::move(directory)) {}

  private:
    // What identifies one version of the index file: a rename gives a new inode.
    struct Stamp {
        uint64_t device = 0;
        uint64_t inode = 0;
        long long size = -1;
        long long modifiedNs = 0;
        bool operator==(const Stamp&) const = default;
    };

    std::string IndexPath() const;
    Stamp CurrentStamp() const;
    // Reads the index and the copies it lists when the index changed since the last read.
    bool RefreshLocked(std::string* error);
    bool WriteIndex(const std::vector<Entry>& entries, uint32_t nextId, std::string* error) const;

    std::string directory_;
    mutable std::mutex mutex_;
    std::vector<Entry> entries_;
    uint32_t nextId_ = 1;
    Stamp stamp_;
};

// Writes `contents` to `path` through a temporary file in the same directory and a rename.
bool WriteFileAtomically(const std::string& path, const std::string& contents, std::string* error);

}  // namespace korvo::sp

// Which drive a folder is on: a separately mounted file system known by its
// UUID and label, so that the same drive mounted at another path is the
// same drive.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace vidarium {

struct Volume {
    std::string Uuid;
    std::string Label; // may be empty
    // Where it is mounted, ending with the separator ("/media/ann/Films2/").
    std::string Mount;
    std::uint64_t Device = 0; // its device number while so mounted
};

class VolumeLookup {
public:
    virtual ~VolumeLookup() = default;
    // The drive holding an existing path; nothing for the root file system
    // and for one without a UUID (a share, a memory file system): those are
    // known by their paths.
    virtual std::optional<Volume> VolumeOf(const std::string& path) = 0;
    // Where the drive of that UUID is mounted now; nothing when it is not.
    virtual std::optional<Volume> Mounted(const std::string& uuid) = 0;
};

// The system's: the mount table through libmount, UUIDs and labels through
// udev's device database (readable without privileges, unlike the devices).
std::unique_ptr<VolumeLookup> SystemVolumes();

} // namespace vidarium

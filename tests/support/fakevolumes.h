// Drives as a test makes them: folders standing for mount points, each
// with a UUID and label, plugged in and out by the test.
#pragma once

#include "volumes.h"

#include <sys/stat.h>

#include <map>
#include <memory>
#include <string>

namespace vidarium::testing {

class FakeVolumes final : public VolumeLookup {
public:
    // The drive of `uuid` is mounted at `mount` (ending with '/'); its
    // device is the folder's own.
    void Mount(const std::string& uuid, const std::string& label, const std::string& mount) {
        struct stat status {};
        ::stat(mount.c_str(), &status);
        (*drives_)[uuid] = Volume{uuid, label, mount, status.st_dev};
    }
    void Unplug(const std::string& uuid) { drives_->erase(uuid); }

    std::optional<Volume> VolumeOf(const std::string& path) override {
        std::optional<Volume> deepest;
        for (const auto& [uuid, volume] : *drives_) {
            if ((path + "/").starts_with(volume.Mount) &&
                (!deepest || volume.Mount.size() > deepest->Mount.size())) {
                deepest = volume;
            }
        }
        return deepest;
    }
    std::optional<Volume> Mounted(const std::string& uuid) override {
        const auto found = drives_->find(uuid);
        return found != drives_->end() ? std::optional(found->second) : std::nullopt;
    }

    // Another lookup of the same drives, for a catalogue to own.
    std::unique_ptr<FakeVolumes> Share() const { return std::make_unique<FakeVolumes>(*this); }

private:
    std::shared_ptr<std::map<std::string, Volume>> drives_ =
        std::make_shared<std::map<std::string, Volume>>();
};

} // namespace vidarium::testing

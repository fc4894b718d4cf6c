// The system's drives: the mount table from libmount, each block device's
// file system UUID and label from udev.
#include "volumes.h"

#include <libmount/libmount.h>
#include <libudev.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <charconv>
#include <string_view>

namespace vidarium {
namespace {

// The libraries' handles, each freed by its own function.
template <auto Free> struct Freeing {
    template <typename Handle> void operator()(Handle* handle) const { Free(handle); }
};
using UdevHandle = std::unique_ptr<udev, Freeing<udev_unref>>;
using DeviceHandle = std::unique_ptr<udev_device, Freeing<udev_device_unref>>;
using DevicesHandle = std::unique_ptr<udev_enumerate, Freeing<udev_enumerate_unref>>;
using TableHandle = std::unique_ptr<libmnt_table, Freeing<mnt_unref_table>>;
using IterHandle = std::unique_ptr<libmnt_iter, Freeing<mnt_free_iter>>;

// Where the file system of `device` is mounted whole (a bind mount of one
// of its folders is not the drive's place), the last mount over others;
// "" when nowhere.
std::string MountOf(dev_t device) {
    const TableHandle table(mnt_new_table());
    const IterHandle iter(mnt_new_iter(MNT_ITER_FORWARD));
    if (!table || !iter || mnt_table_parse_mtab(table.get(), nullptr) != 0) {
        return {};
    }
    std::string target;
    libmnt_fs* fs = nullptr;
    while (mnt_table_next_fs(table.get(), iter.get(), &fs) == 0) {
        const char* root = mnt_fs_get_root(fs);
        const char* at = mnt_fs_get_target(fs);
        if (mnt_fs_get_devno(fs) == device && root != nullptr && std::string_view(root) == "/" &&
            at != nullptr) {
            target = at;
        }
    }
    return target;
}

std::string Property(udev_device* device, const char* key) {
    const char* value = device != nullptr ? udev_device_get_property_value(device, key) : nullptr;
    return value != nullptr ? value : "";
}

// udev writes a label's unsafe bytes as "\xNN" (a space as "\x20").
std::string UnescapedLabel(std::string_view encoded) {
    std::string label;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        unsigned value = 0;
        const char* digits = encoded.data() + i + 2;
        if (encoded.substr(i, 2) == "\\x" && i + 4 <= encoded.size() &&
            std::from_chars(digits, digits + 2, value, 16).ptr == digits + 2) {
            label += static_cast<char>(value);
            i += 3;
        } else {
            label += encoded[i];
        }
    }
    return label;
}

// The volume of a block device mounted at `target`; nothing for the root
// file system or one udev knows no UUID of.
std::optional<Volume> VolumeAt(udev* context, dev_t device, const std::string& target) {
    if (target.empty() || target == "/" || context == nullptr) {
        return std::nullopt;
    }
    const DeviceHandle known(udev_device_new_from_devnum(context, 'b', device));
    Volume volume;
    volume.Uuid = Property(known.get(), "ID_FS_UUID");
    if (volume.Uuid.empty()) {
        return std::nullopt;
    }
    const std::string encoded = Property(known.get(), "ID_FS_LABEL_ENC");
    volume.Label = encoded.empty() ? Property(known.get(), "ID_FS_LABEL") : UnescapedLabel(encoded);
    volume.Mount = target.back() == '/' ? target : target + '/';
    volume.Device = device;
    return volume;
}

class SystemVolumeLookup final : public VolumeLookup {
public:
    std::optional<Volume> VolumeOf(const std::string& path) override {
        struct stat status {};
        // Major 0: no block device behind it (a share, tmpfs, a subvolume).
        if (::stat(path.c_str(), &status) != 0 || major(status.st_dev) == 0) {
            return std::nullopt;
        }
        return VolumeAt(udev_.get(), status.st_dev, MountOf(status.st_dev));
    }

    std::optional<Volume> Mounted(const std::string& uuid) override {
        const DevicesHandle devices(udev_ != nullptr ? udev_enumerate_new(udev_.get()) : nullptr);
        if (!devices) {
            return std::nullopt;
        }
        udev_enumerate_add_match_subsystem(devices.get(), "block");
        udev_enumerate_add_match_property(devices.get(), "ID_FS_UUID", uuid.c_str());
        if (udev_enumerate_scan_devices(devices.get()) != 0) {
            return std::nullopt;
        }
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(devices.get())) {
            const DeviceHandle device(
                udev_device_new_from_syspath(udev_.get(), udev_list_entry_get_name(entry)));
            const dev_t number = device ? udev_device_get_devnum(device.get()) : 0;
            std::optional<Volume> found =
                number != 0 ? VolumeAt(udev_.get(), number, MountOf(number)) : std::nullopt;
            if (found && found->Uuid == uuid) {
                return found;
            }
        }
        return std::nullopt;
    }

private:
    UdevHandle udev_{udev_new()};
};

} // namespace

std::unique_ptr<VolumeLookup> SystemVolumes() {
    return std::make_unique<SystemVolumeLookup>();
}

} // namespace vidarium

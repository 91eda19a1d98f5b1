// The list of capture drivers, looked for once per process.
#include <mutex>

#include "platform/capture_service.h"
#include "platform/v4l2_camera.h"
#include "platform/virtual_camera.h"

namespace ostrel {

namespace {

constexpr size_t DRIVER_INDEXES = 10;

std::mutex drivers_mutex;
std::optional<std::vector<std::shared_ptr<CaptureDriver>>> drivers;

}  // namespace

std::vector<std::shared_ptr<CaptureDriver>> installed_drivers() {
    std::lock_guard lock(drivers_mutex);
    if (!drivers) {
        drivers.emplace();
        // The virtual camera, when asked for, comes first: driver 0 is the
        // one the dialog connects to.
        if (auto camera = virtual_camera_from_environment()) drivers->push_back(camera);
        for (auto& camera : find_v4l2_cameras(system_v4l2_io(), DRIVER_INDEXES - drivers->size()))
            drivers->push_back(camera);
    }
    return *drivers;
}

void set_installed_drivers(std::optional<std::vector<std::shared_ptr<CaptureDriver>>> replacement) {
    std::lock_guard lock(drivers_mutex);
    drivers = std::move(replacement);
}

}  // namespace ostrel

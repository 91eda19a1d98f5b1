// A capture driver passed through with its streams watched from the inside:
// each frame on its way to the capture window, and the end of each stream,
// which is the moment the device's capture thread lets go of the sink it was
// given (a stream that fails to start ends at once).
#ifndef OSTREL_TEST_WATCHED_DRIVER_H
#define OSTREL_TEST_WATCHED_DRIVER_H

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/capture_service.h"

namespace ostrel::test {

struct StreamEvents {
    // Both run on the capture thread; set them before the driver is used.
    std::function<void()> on_frame;
    std::function<void()> on_stream_end;
};

class WatchedDevice final : public CaptureDevice {
  public:
    WatchedDevice(std::unique_ptr<CaptureDevice> device, std::shared_ptr<StreamEvents> events)
        : device_(std::move(device)), events_(std::move(events)) {}
    BITMAPINFOHEADER format() override { return device_->format(); }
    std::vector<FormatOption> format_options() override { return device_->format_options(); }
    FormatChoice current_choice() override { return device_->current_choice(); }
    bool set_format(const FormatOption& option, FrameSize size) override {
        return device_->set_format(option, size);
    }
    void set_frame_interval(uint32_t microseconds) override { device_->set_frame_interval(microseconds); }
    bool start(FrameSink sink) override {
        auto end = std::make_shared<EndSignal>(events_);
        return device_->start(
            [end, events = events_, sink = std::move(sink)](const uint8_t* data, size_t bytes) {
                if (events->on_frame) events->on_frame();
                sink(data, bytes);
            });
    }
    void stop() override { device_->stop(); }

  private:
    struct EndSignal {
        explicit EndSignal(std::shared_ptr<StreamEvents> watched) : events(std::move(watched)) {}
        ~EndSignal() {
            if (events->on_stream_end) events->on_stream_end();
        }
        std::shared_ptr<StreamEvents> events;
    };

    std::unique_ptr<CaptureDevice> device_;
    std::shared_ptr<StreamEvents> events_;
};

class WatchedDriver final : public CaptureDriver {
  public:
    WatchedDriver(std::shared_ptr<CaptureDriver> driver, std::shared_ptr<StreamEvents> events)
        : driver_(std::move(driver)), events_(std::move(events)) {}
    std::string name() override { return driver_->name(); }
    std::string version() override { return driver_->version(); }
    std::unique_ptr<CaptureDevice> open() override {
        std::unique_ptr<CaptureDevice> device = driver_->open();
        if (device == nullptr) return nullptr;
        return std::make_unique<WatchedDevice>(std::move(device), events_);
    }

  private:
    std::shared_ptr<CaptureDriver> driver_;
    std::shared_ptr<StreamEvents> events_;
};

}  // namespace ostrel::test

#endif  // OSTREL_TEST_WATCHED_DRIVER_H

// A capture driver passed through, telling when a stream ends: the moment the
// device's capture thread lets go of the sink it was given (a stream that
// fails to start ends at once).
#ifndef OSTREL_TEST_WATCHED_DRIVER_H
#define OSTREL_TEST_WATCHED_DRIVER_H

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/capture_service.h"

namespace ostrel::test {

class WatchedDevice final : public CaptureDevice {
  public:
    WatchedDevice(std::unique_ptr<CaptureDevice> device, std::function<void()> on_end)
        : device_(std::move(device)), on_end_(std::move(on_end)) {}
    BITMAPINFOHEADER format() override { return device_->format(); }
    std::vector<FormatOption> format_options() override { return device_->format_options(); }
    FormatChoice current_choice() override { return device_->current_choice(); }
    bool set_format(const FormatOption& option, FrameSize size) override {
        return device_->set_format(option, size);
    }
    void set_frame_interval(uint32_t microseconds) override { device_->set_frame_interval(microseconds); }
    bool start(FrameSink sink) override {
        // Signals from its deleter, when the last copy of the sink goes.
        auto end = std::shared_ptr<void>(nullptr, [on_end = on_end_](void*) { on_end(); });
        return device_->start(
            [end, sink = std::move(sink)](const uint8_t* data, size_t bytes) { sink(data, bytes); });
    }
    void stop() override { device_->stop(); }

  private:
    std::unique_ptr<CaptureDevice> device_;
    std::function<void()> on_end_;
};

class WatchedDriver final : public CaptureDriver {
  public:
    WatchedDriver(std::shared_ptr<CaptureDriver> driver, std::function<void()> on_end)
        : driver_(std::move(driver)), on_end_(std::move(on_end)) {}
    std::string name() override { return driver_->name(); }
    std::string version() override { return driver_->version(); }
    std::unique_ptr<CaptureDevice> open() override {
        std::unique_ptr<CaptureDevice> device = driver_->open();
        return device ? std::make_unique<WatchedDevice>(std::move(device), on_end_) : nullptr;
    }

  private:
    std::shared_ptr<CaptureDriver> driver_;
    std::function<void()> on_end_;
};

}  // namespace ostrel::test

#endif  // OSTREL_TEST_WATCHED_DRIVER_H

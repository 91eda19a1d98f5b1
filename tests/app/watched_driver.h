// A capture driver passed through with its devices watched from the inside:
// a stream asked to stop, a stream's end (the moment the device's capture
// thread lets go of the sink it was given; a stream that fails to start ends
// at once), and a device destroyed.
#ifndef OSTREL_TEST_WATCHED_DRIVER_H
#define OSTREL_TEST_WATCHED_DRIVER_H

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/capture_service.h"

namespace ostrel::test {

struct StreamWatch {
    std::function<void()> on_stop = {};     // on the stopping thread, before the device stops
    std::function<void()> on_end = {};      // on the capture thread
    std::function<void()> on_destroy = {};  // on the destroying thread
};

class WatchedDevice final : public CaptureDevice {
  public:
    WatchedDevice(std::unique_ptr<CaptureDevice> device, StreamWatch watch)
        : device_(std::move(device)), watch_(std::move(watch)) {}
    ~WatchedDevice() override {
        device_.reset();
        if (watch_.on_destroy) watch_.on_destroy();
    }
    BITMAPINFOHEADER format() override { return device_->format(); }
    std::vector<FormatOption> format_options() override { return device_->format_options(); }
    FormatChoice current_choice() override { return device_->current_choice(); }
    bool set_format(const FormatOption& option, FrameSize size) override {
        return device_->set_format(option, size);
    }
    void set_frame_interval(uint32_t microseconds) override { device_->set_frame_interval(microseconds); }
    bool start(FrameSink sink) override {
        // Signals from its deleter, when the last copy of the sink goes.
        auto end = std::shared_ptr<void>(nullptr, [on_end = watch_.on_end](void*) {
            if (on_end) on_end();
        });
        return device_->start(
            [end, sink = std::move(sink)](const uint8_t* data, size_t bytes) { sink(data, bytes); });
    }
    void stop() override {
        if (watch_.on_stop) watch_.on_stop();
        device_->stop();
    }

  private:
    std::unique_ptr<CaptureDevice> device_;
    StreamWatch watch_;
};

class WatchedDriver final : public CaptureDriver {
  public:
    WatchedDriver(std::shared_ptr<CaptureDriver> driver, StreamWatch watch)
        : driver_(std::move(driver)), watch_(std::move(watch)) {}
    std::string name() override { return driver_->name(); }
    std::string version() override { return driver_->version(); }
    std::unique_ptr<CaptureDevice> open() override {
        std::unique_ptr<CaptureDevice> device = driver_->open();
        return device ? std::make_unique<WatchedDevice>(std::move(device), watch_) : nullptr;
    }

  private:
    std::shared_ptr<CaptureDriver> driver_;
    StreamWatch watch_;
};

}  // namespace ostrel::test

#endif  // OSTREL_TEST_WATCHED_DRIVER_H

#include "skeleton_device.h"

namespace brimvox {

DeviceResult SkeletonSoundDevice::open(const SoundFormat&) {
    return DeviceResult::NoDevice;
}

// Never opened: every other call finds no device.
DeviceResult SkeletonSoundDevice::start() {
    return DeviceResult::InvalidHandle;
}

DeviceResult SkeletonSoundDevice::read(int16_t*, size_t, uint32_t, size_t& got) {
    got = 0;
    return DeviceResult::InvalidHandle;
}

DeviceResult SkeletonSoundDevice::write(const int16_t*, size_t, uint32_t, bool& queued) {
    queued = false;
    return DeviceResult::InvalidHandle;
}

DeviceResult SkeletonSoundDevice::waitPlayed(size_t, uint32_t, size_t& inFlight) {
    inFlight = 0;
    return DeviceResult::InvalidHandle;
}

DeviceResult SkeletonSoundDevice::pause(bool) {
    return DeviceResult::InvalidHandle;
}

DeviceResult SkeletonSoundDevice::reset() {
    return DeviceResult::InvalidHandle;
}

DeviceResult SkeletonSoundDevice::close() {
    return DeviceResult::Ok;
}

}  // namespace brimvox

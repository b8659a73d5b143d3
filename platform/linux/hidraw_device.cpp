// One open hidraw node as a HID device.
#include "platform/linux/hidraw_device.h"

#include <errno.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <utility>

#include "platform/linux/hidraw_system.h"

namespace platform::linux_hid {

CHidrawDevice::CHidrawDevice(int fd, const ReportLengths& lengths, std::string sysfsDeviceDir)
    : fd(fd),
      wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      lengths(lengths),
      sysfsDeviceDir(std::move(sysfsDeviceDir)),
      writer(std::make_unique<CHidrawWriter>(fd)) {}

CHidrawDevice::~CHidrawDevice() {
    Close();
}

bool CHidrawDevice::Enter() {
    const uint32_t before = state.fetch_add(1);
    if (before & CLOSED) {
        Leave();
        return false;
    }
    return true;
}

void CHidrawDevice::Leave() {
    // The last call to leave after Close releases the descriptors.
    if (((state.fetch_sub(1) - 1) & ~CANCELLED) == CLOSED) {
        Release();
    }
}

void CHidrawDevice::Release() {
    if (released.exchange(true)) {
        return;
    }
    writer.reset();
    if (fd >= 0) {
        ::close(fd);
    }
    if (wakeFd >= 0) {
        ::close(wakeFd);
    }
}

void CHidrawDevice::Wake() {
    // Only called while counted as a user, so wakeFd is still open.
    if (wakeFd >= 0) {
        const uint64_t one = 1;
        ssize_t result;
        do {
            result = ::write(wakeFd, &one, sizeof one);
        } while (result < 0 && errno == EINTR);
    }
}

void CHidrawDevice::CancelRead() {
    if (!Enter()) {
        return;
    }
    state.fetch_or(CANCELLED);
    Wake();
    Leave();
}

void CHidrawDevice::Close() {
    // Counted as a user while it wakes the reader, so the wake-up descriptor is still open.
    const uint32_t before = state.fetch_add(1);
    if (before & CLOSED) {
        Leave();
        return;
    }
    state.fetch_or(CLOSED | CANCELLED);
    Wake();
    Leave();
}

int CHidrawDevice::GetAttributes(uint16_t& vendorId, uint16_t& productId) {
    if (!Enter()) {
        errno = EBADF;
        return 0;
    }
    hidraw_devinfo info{};
    const int result = ::ioctl(fd, HIDIOCGRAWINFO, &info);
    Leave();
    if (result >= 0) {
        // The kernel hands the ids over as signed 16-bit values.
        vendorId = static_cast<uint16_t>(info.vendor);
        productId = static_cast<uint16_t>(info.product);
        return 1;
    }
    // A node that does not answer the query (not a hidraw node) can still be known by the
    // ids its sysfs entry lists.
    return ReadSysfsIds(sysfsDeviceDir, vendorId, productId) ? 1 : 0;
}

int CHidrawDevice::GetCaps(HidCaps& caps) {
    if (lengths.inputBytes == 0 && lengths.outputBytes == 0) {
        return 0;
    }
    caps.inputReportByteLength = lengths.inputBytes;
    caps.outputReportByteLength = lengths.outputBytes;
    return 1;
}

int CHidrawDevice::ReadReport(uint8_t* buffer, uint32_t length, uint32_t& count) {
    count = 0;
    // Reports without a number arrive without the id byte; the layout wants a 0 there.
    const uint32_t offset = lengths.numberedReports ? 0 : 1;
    // Without a wake-up descriptor a wait could never be ended: refuse to wait.
    if (length <= offset || wakeFd < 0 || !Enter()) {
        return 0;
    }
    int result = 0;
    for (;;) {
        if (state.load() & CANCELLED) {
            break;
        }
        pollfd waits[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int ready = ::poll(waits, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (waits[1].revents != 0) {
            errno = ECANCELED;
            break;
        }
        // On unplug the node reports POLLHUP together with POLLIN while reports are still
        // queued: those arrived before the board left, so they are read first.
        if (!(waits[0].revents & POLLIN)) {
            if (waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                errno = ENODEV;
                break;
            }
            continue;
        }
        const ssize_t got = ::read(fd, buffer + offset, length - offset);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                continue;  // another reader of the node took the report first
            }
            break;  // ENODEV, EIO: the device is gone
        }
        if (got == 0) {
            // A hidraw node never reports end of file while its device exists.
            errno = ENODEV;
            break;
        }
        if (offset) {
            buffer[0] = 0;
        }
        count = static_cast<uint32_t>(got) + offset;
        result = 1;
        break;
    }
    Leave();
    return result;
}

int CHidrawDevice::WriteReport(const uint8_t* report, uint32_t length, uint32_t& written) {
    written = 0;
    if (length == 0 || !Enter()) {
        return 0;
    }
    // Byte 0 is the report id; the kernel drops a 0 id for devices without numbered reports.
    const ssize_t result = writer->Write(report, length);
    Leave();
    if (result < 0) {
        return 0;
    }
    written = static_cast<uint32_t>(result);
    return 1;
}

}  // namespace platform::linux_hid

// The system's HID interfaces narrowed to one the user chose by its path, so the link finds
// that Kit and no other; an empty choice passes every interface through.
#pragma once

#include <algorithm>
#include <cctype>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/hid_device.h"

class CChosenHid : public platform::IHidSystem {
  public:
    CChosenHid(platform::IHidSystem& hid, std::string chosenPath)
        : hid(hid), chosenPath(std::move(chosenPath)) {}

    std::vector<std::string> EnumerateInterfaces() override {
        std::vector<std::string> paths = hid.EnumerateInterfaces();
        if (!chosenPath.empty()) {
            std::erase_if(paths, [this](const std::string& path) { return !Chosen(path); });
        }
        return paths;
    }
    bool ListedIds(const std::string& path, uint16_t& vendorId, uint16_t& productId) override {
        return hid.ListedIds(path, vendorId, productId);
    }
    std::unique_ptr<platform::IHidDevice> Open(const std::string& path) override {
        return hid.Open(path);
    }
    platform::HidOpenError LastOpenError() const override { return hid.LastOpenError(); }

  private:
    // Windows spells interface paths in either case (Wine lower-cases them); on Linux no two
    // nodes differ in case alone.
    bool Chosen(const std::string& path) const {
        return std::equal(
            path.begin(), path.end(), chosenPath.begin(), chosenPath.end(),
            [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); });
    }

    platform::IHidSystem& hid;
    const std::string chosenPath;
};

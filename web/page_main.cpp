// The browser edition's core: starts the page on the browser's devices, or with --sim on the
// simulated Kit, and gives the page's script its commands. Events reach the script on the
// browser's main thread as JSON, through Module.palvexEvent.
#include <emscripten.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/backends.h"
#include "sim/sim_kit.h"
#include "sim/sim_platform.h"
#include "sim/sim_stream.h"
#include "web/web_page.h"

namespace {

void PostEvent(const nlohmann::json& event) {
    // Text from a device or the system may be any bytes: what is not UTF-8 becomes U+FFFD.
    const std::string text = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    char* copy = strdup(text.c_str());
    MAIN_THREAD_ASYNC_EM_ASM(
        {
            const text = UTF8ToString($0);
            _free($0);
            Module['palvexEvent'](JSON.parse(text));
        },
        copy);
}

class CEvents : public IWebPageEvents, public platform::IMessageBoxSink {
  public:
    static const char* Name(WebChannel channel) {
        return channel == WebChannel::USB ? "usb" : "rs232";
    }
    void Status(int pane, const std::string& text, const std::string& tip) override {
        PostEvent({{"type", "status"}, {"pane", pane}, {"text", text}, {"tip", tip}});
    }
    void Notice(const std::string& text) override {
        PostEvent({{"type", "notice"}, {"text", text}});
    }
    void Traffic(WebChannel channel, uint32_t takes) override {
        PostEvent({{"type", "traffic"}, {"channel", Name(channel)}, {"takes", takes}});
    }
    void Sent(WebChannel channel, uint32_t count) override {
        PostEvent({{"type", "sent"}, {"channel", Name(channel)}, {"count", count}});
    }
    // The page shows a box and goes on: nothing here waits for the user.
    void Show(const std::string& text, const std::string& caption) override {
        PostEvent({{"type", "box"}, {"caption", caption}, {"text", text}});
    }
};

CEvents events;
std::unique_ptr<CSimKit> kit;
std::unique_ptr<CSimStream> streams[2];  // the board's own traffic, per channel
std::unique_ptr<platform::ISerialPorts> serialPorts;
std::unique_ptr<platform::IHidSystem> hid;
// Never deleted: the script may call in until the tab goes.
std::atomic<CWebPage*> page{nullptr};
std::mutex stopMutex;
std::condition_variable stopChanged;
bool stopRequested = false;

WebChannel ChannelOf(int channel) {
    return channel == 0 ? WebChannel::USB : WebChannel::RS232;
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE void palvex_web_led(int flashing) {
    if (CWebPage* current = page.load()) {
        current->Led(flashing != 0);
    }
}

EMSCRIPTEN_KEEPALIVE void palvex_web_send(int channel, const uint8_t* bytes, int count) {
    if (CWebPage* current = page.load(); current != nullptr && count >= 0) {
        current->Send(ChannelOf(channel), bytes, static_cast<uint32_t>(count));
    }
}

EMSCRIPTEN_KEEPALIVE void palvex_web_notice_closed() {
    if (CWebPage* current = page.load()) {
        current->NoticeClosed();
    }
}

EMSCRIPTEN_KEEPALIVE void palvex_web_granted() {
    if (CWebPage* current = page.load()) {
        current->DevicesGranted();
    }
}

// Copies up to `capacity` of the channel's waiting bytes to `out`; returns how many there
// were in all (more than capacity: call again with room for them; none are lost).
EMSCRIPTEN_KEEPALIVE int palvex_web_take(int channel, uint8_t* out, int capacity) {
    static std::vector<uint8_t> pending[2];  // taken but not yet copied; main thread only
    std::vector<uint8_t>& waiting = pending[channel == 0 ? 0 : 1];
    if (waiting.empty()) {
        if (CWebPage* current = page.load()) {
            waiting = current->TakeTraffic(ChannelOf(channel));
        }
    }
    const int size = static_cast<int>(waiting.size());
    if (size <= capacity) {
        std::memcpy(out, waiting.data(), waiting.size());
        waiting.clear();
    }
    return size;
}

// How many takes of the channel the core has given; see the traffic event's "takes".
EMSCRIPTEN_KEEPALIVE int palvex_web_takes(int channel) {
    CWebPage* current = page.load();
    return current != nullptr ? static_cast<int>(current->Takes(ChannelOf(channel))) : 0;
}

EMSCRIPTEN_KEEPALIVE int palvex_web_close_report(uint8_t* out, int capacity) {
    CWebPage* current = page.load();
    const std::vector<uint8_t> report =
        current != nullptr ? current->CloseReport() : std::vector<uint8_t>();
    const int size = static_cast<int>(report.size());
    if (size <= capacity) {
        std::memcpy(out, report.data(), report.size());
    }
    return size;
}

// Ends the page (after the close sequence) and the program; for a script under node.
EMSCRIPTEN_KEEPALIVE void palvex_web_stop() {
    std::lock_guard<std::mutex> hold(stopMutex);
    stopRequested = true;
    stopChanged.notify_all();
}

// The simulated Kit's controls: on the page's thread, since some of them wait.
EMSCRIPTEN_KEEPALIVE void palvex_web_sim_plug(int channel, int plugged) {
    CWebPage* current = page.load();
    if (current != nullptr && kit != nullptr) {
        current->Post([channel, plugged] {
            if (channel == 0) {
                kit->PlugUsb(plugged != 0);
            } else {
                kit->ConnectSerial(plugged != 0);
            }
        });
    }
}

EMSCRIPTEN_KEEPALIVE void palvex_web_sim_say(int channel, const uint8_t* bytes, int count) {
    CWebPage* current = page.load();
    if (current != nullptr && kit != nullptr && count >= 0) {
        std::vector<uint8_t> said(bytes, bytes + count);
        current->Post([channel, said] {
            if (channel == 0) {
                kit->SendUsb(said);
            } else {
                kit->SendSerial(said);
            }
        });
    }
}

// The board sends `count` bytes of numbered lines at `bytesPerSecond` on a channel (for the
// page's benchmark); a stream still running is replaced.
EMSCRIPTEN_KEEPALIVE void palvex_web_sim_stream(int channel, double count, int bytesPerSecond,
                                                int lineEnds) {
    CWebPage* current = page.load();
    if (current != nullptr && kit != nullptr && bytesPerSecond > 0 && count >= 0) {
        current->Post([channel, count, bytesPerSecond, lineEnds] {
            streams[channel == 0 ? 0 : 1]->Start(
                channel == 0 ? CSimStream::Channel::USB : CSimStream::Channel::SERIAL,
                static_cast<uint64_t>(count), static_cast<uint32_t>(bytesPerSecond), lineEnds != 0);
        });
    }
}

// Bytes the channel's stream has sent so far.
EMSCRIPTEN_KEEPALIVE double palvex_web_sim_streamed(int channel) {
    const std::unique_ptr<CSimStream>& stream = streams[channel == 0 ? 0 : 1];
    return stream != nullptr ? static_cast<double>(stream->Sent()) : 0;
}

// The simulated Kit's state: bit 0 USB plugged, bit 1 line connected, bit 2 LED flashing;
// -1 without it.
EMSCRIPTEN_KEEPALIVE int palvex_web_sim_state() {
    if (kit == nullptr) {
        return -1;
    }
    return (kit->UsbPlugged() ? 1 : 0) | (kit->SerialConnected() ? 2 : 0) |
           (kit->LedFlashing() ? 4 : 0);
}

}  // extern "C"

int main(int argc, char** argv) {
    platform::Platform services;
    if (argc > 1 && std::strcmp(argv[1], "--sim") == 0) {
        kit = std::make_unique<CSimKit>();
        kit->PlugUsb(true);
        kit->ConnectSerial(true);
        streams[0] = std::make_unique<CSimStream>(*kit);
        streams[1] = std::make_unique<CSimStream>(*kit);
        services = SimPlatform(*kit, events);
    } else {
        serialPorts = platform::CreateSystemSerialPorts();
        hid = platform::CreateSystemHid();
        services.serialPorts = serialPorts.get();
        services.hid = hid.get();
        services.messageBoxes = &events;
    }
    page.store(new CWebPage(services, events));
    // In a browser the page lives as long as its tab; a script may end it.
    std::unique_lock<std::mutex> hold(stopMutex);
    stopChanged.wait(hold, [] { return stopRequested; });
    page.load()->Stop();
    return 0;
}

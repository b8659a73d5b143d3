// The page's side of a channel worker: each batch goes to the channel's traffic view and is
// counted.
#pragma once

#include "bench/traffic_counter.h"
#include "bench/traffic_view.h"
#include "channel/traffic_sink.h"

class CChannelTraffic : public ITrafficSink {
  public:
    CChannelTraffic(TrafficView* view, CTrafficCounter* counter) : view(view), counter(counter) {}

    void Received(const uint8_t* bytes, uint32_t count) override {
        if (view != nullptr) {
            view->AppendBytes(bytes, count);
        }
        if (counter != nullptr) {
            counter->AddReceived(count);
        }
    }

  private:
    TrafficView* const view;
    CTrafficCounter* const counter;
};

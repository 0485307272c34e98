// What every instrument relies on to keep its packets in order and to push
// nothing once unplugged: the port link and the timer set, with the races
// that unplugging runs into.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "FakeBulkPort.h"
#include "SystemTest.h"
#include "instrument/PortLink.h"
#include "instrument/TimerSet.h"

namespace tesmo::test {
namespace {

using emu::usb::InPacket;
using emu::usb::PortLink;
using emu::usb::TimerSet;

// A gate a thread blocks at until the test opens it.
class Gate {
public:
    void Pass()
    {
        std::unique_lock lock(mutex_);
        ++waiting_;
        emu::NotifyStateChanged();
        opened_.wait(lock, [&] { return open_; });
    }
    void Open()
    {
        {
            std::lock_guard lock(mutex_);
            open_ = true;
        }
        opened_.notify_all();
    }
    bool SomeoneWaits()
    {
        std::lock_guard lock(mutex_);
        return waiting_ > 0;
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool open_ = false;
    int waiting_ = 0;
};

class DeliveryTest : public SystemTest {
protected:
    FakeBulkPort& port() { return port_; }

private:
    FakeBulkPort port_{sys().clock(), 64};
};

TEST_F(DeliveryTest, PacketPostedFromInsidePushInFollowsWithoutNesting)
{
    PortLink link;
    link.Open(port());
    std::atomic<int> depth = 0, deepest = 0;
    port().SetPushHook([&](const InPacket& packet) {
        deepest = std::max(deepest.load(), ++depth);
        // The bus calls back into the instrument, which answers at once.
        if (packet.data == Bytes("first")) {
            link.Post(InPacket::Data(Bytes("from inside")));
            link.Flush();
        }
        --depth;
    });
    link.Post({InPacket::Data(Bytes("first")), InPacket::Data(Bytes("second"))});
    link.Flush();
    EXPECT_EQ(port().Messages(), (std::vector<std::string>{"first", "second", "from inside"}));
    EXPECT_EQ(deepest, 1);
}

// Unplug while another thread is inside PushIn.
TEST_F(DeliveryTest, CloseWaitsForADeliveryInProgressAndDropsTheRest)
{
    PortLink link;
    link.Open(port());
    Gate gate;
    port().SetPushHook([&](const InPacket&) { gate.Pass(); });
    link.Post({InPacket::Data(Bytes("one")), InPacket::Data(Bytes("two"))});
    std::thread deliverer([&] { link.Flush(); });
    emu::WaitUntil([&] { return gate.SomeoneWaits(); }, "the delivery to block in PushIn");

    std::atomic<bool> closed = false;
    std::thread unplug([&] {
        link.Close();
        closed = true;
        port().MarkUnplugged();
    });
    emu::WaitUntil([&] { return link.ClosersWaiting() == 1; }, "Close to wait for the delivery");
    EXPECT_FALSE(closed);
    gate.Open();
    deliverer.join();
    unplug.join();
    EXPECT_EQ(port().PacketCount(), 1u);
    EXPECT_EQ(port().PushesAfterUnplug(), 0u);
    EXPECT_FALSE(link.Post(InPacket::Data(Bytes("late"))));
}

// Unplug while the clock thread runs one of the instrument's timers.
TEST_F(DeliveryTest, CloseWaitsForARunningTimerAndCancelsTheOneDueWithIt)
{
    TimerSet timers;
    timers.Open(sys().clock());
    Gate gate;
    std::atomic<int> ran = 0;
    timers.After(emu::kMillisecond, [&] {
        ++ran;
        gate.Pass();
    });
    timers.After(emu::kMillisecond, [&] { ++ran; });
    std::thread clock([&] { sys().clock().AdvanceBy(emu::kSecond); });
    emu::WaitUntil([&] { return gate.SomeoneWaits(); }, "the first timer to run");

    std::atomic<bool> closed = false;
    std::thread unplug([&] {
        timers.Close();
        closed = true;
    });
    emu::WaitUntil([&] { return timers.ClosersWaiting() == 1; }, "Close to wait for the timer");
    EXPECT_FALSE(closed);
    gate.Open();
    unplug.join();
    clock.join();
    EXPECT_EQ(ran, 1);
    EXPECT_FALSE(timers.After(emu::kMillisecond, [] {}));
}

}  // namespace
}  // namespace tesmo::test

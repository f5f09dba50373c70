// The listener's queue between the window and the service's sink, and the device names the
// window reads from notification blocks other processes send. (What the window makes of
// notifications and copied data is proven on the real DLL under Wine.)
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "discovery/listener_queue.h"
#include "fakes/gate.h"

namespace {

using namespace USB;

// A sink that records texts and holds the consumer at its gate.
struct Sink {
    static void Call(const char* text, uint32_t length, void* context)
    {
        Sink* self = static_cast<Sink*>(context);
        {
            std::lock_guard<std::mutex> g(self->gate.mutex);
            self->texts.emplace_back(text, length);
        }
        self->gate.Pass();
    }
    std::vector<std::string> Texts()
    {
        std::lock_guard<std::mutex> g(gate.mutex);
        return texts;
    }
    Fake::Gate gate;
    std::vector<std::string> texts;
};

TEST(ListenerQueue, TextsReachTheSinkInPostingOrderAndShortOnesAreDropped)
{
    ListenerQueue queue;
    queue.Post("early");  // before the sink is set: still delivered
    Sink sink;
    sink.gate.Set(true);
    queue.SetSink(&Sink::Call, &sink);
    queue.Post("");
    queue.Post("x");
    queue.Post(nullptr);
    queue.ArmConsumer();
    std::thread consumer([&queue] { queue.ConsumeLoop(); });  // as the listener runs it
    EXPECT_TRUE(sink.gate.WaitPassed(1));
    // Posts made while the sink runs wait for it and arrive after it.
    std::thread poster([&] {
        for (const char* text : {"second", "{\"action\":\"PING\"}", "ok"})
            queue.Post(text);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(sink.Texts().size(), 1u);
    sink.gate.Set(false);
    poster.join();
    EXPECT_TRUE(sink.gate.WaitPassed(4));
    EXPECT_EQ(sink.Texts(), (std::vector<std::string>{"early", "second", "{\"action\":\"PING\"}", "ok"}));

    // A post after the queue was drained wakes the consumer at once.
    for (int i = 0; i < 200; ++i) {
        queue.Post(("text-" + std::to_string(i)).c_str());
        EXPECT_TRUE(sink.gate.WaitPassed(i + 5)) << "lost wakeup at " << i;
    }
    queue.StopConsumer();
    consumer.join();
}

// A notification block as another process may send it: header, class GUID, then the name; it
// ends exactly at its declared size (what lies past it is not ours to read).
std::vector<unsigned char> Block(uint32_t declaredSize, uint32_t type, const std::u16string& name)
{
    std::vector<unsigned char> block(28 + (name.size() + 1) * 2, 0);
    std::memcpy(block.data(), &declaredSize, 4);
    std::memcpy(block.data() + 4, &type, 4);
    std::memcpy(block.data() + 28, name.data(), name.size() * 2);
    block.resize(std::max<size_t>(declaredSize, 4));
    return block;
}

TEST(ListenerTexts, DeviceChangeNamesAreReadWithinTheDeclaredSize)
{
    const std::u16string path = u"\\\\?\\USB#VID_18D1&PID_4EE2#SER";
    const uint32_t whole = static_cast<uint32_t>(28 + (path.size() + 1) * 2);
    const struct {
        uint32_t size;
        uint32_t type;
        bool ok;
        size_t units;  // of the path that are read
    } cases[] = {
        {whole, 5, true, path.size()},      // terminated inside
        {whole - 2, 5, true, path.size()},  // the terminator is outside: cut at the size
        {28 + 8, 5, true, 4},               // a shorter declared size cuts the name there
        {28 + 7, 5, true, 3},               // an odd last byte is no unit
        {28, 5, true, 0},                   // no room for a name
        {27, 5, false, 0},                  // no room for the class GUID
        {whole, 2, false, 0},               // a volume, not an interface
        {11, 5, false, 0},                  // shorter than its own header
    };
    for (const auto& c : cases) {
        const std::vector<unsigned char> block = Block(c.size, c.type, path);
        std::wstring name = L"stale";
        EXPECT_EQ(USB::DeviceInterfaceName(block.data(), name), c.ok) << c.size;
        EXPECT_EQ(name, std::wstring(path.begin(), path.begin() + static_cast<long>(c.units))) << c.size;
    }
    std::wstring name;
    EXPECT_FALSE(USB::DeviceInterfaceName(nullptr, name));
}

}  // namespace

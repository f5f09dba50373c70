// One service object over fake ports (bridge, processes, device tree, cloud, installer) with a
// host callback set. Flows start as the host and the listener start them (arrivals, answers,
// unplugs through the sink) and run on the calling thread on the fake clock.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fakes/device_scene.h"
#include "fakes/fake_http.h"
#include "fakes/fake_install_service.h"
#include "fakes/fake_pipeline.h"
#include "fakes/gate.h"
#include "fakes/host_recorder.h"
#include "fakes/records.h"
#include "pipeline/driver_provisioning.h"
#include "service/service.h"
#include "support/usb_log.h"

namespace USB {
namespace PipelineTesting {

// A phone as the tree and the host name it.
struct Phone {
    std::string vid, pid, serial;
    std::string Key() const { return "VID_" + vid + "&PID_" + pid; }
    std::string Path() const
    {
        return "\\\\?\\USB#" + Key() + "#" + serial + "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    }
    // Its ADB interface's instance part, one per phone.
    std::string Interface() const { return "6&" + serial + "&0&0001"; }
};

// The models of the whitelist every test starts with.
const char* const kModels[][2] = {{"18D1", "4EE7"}, {"22B8", "2E76"}, {"04E8", "6860"}, {"2717", "FF48"}};

// Writes config_ini.txt before the service that reads it is made: the cloud is the fake's.
struct ConfigFile {
    ConfigFile(const Fake::Platform&, const std::string& text)
    {
        Fake::WriteFile(GetExeDirectory() + "config_ini.txt", "[web]\ndriver_host=http://cloud.test\n" + text);
    }
};

class PipelineTest : public ::testing::Test {
protected:
    explicit PipelineTest(const std::string& config = "") : configFile(scene.platform, config)
    {
        platform.ports.process = &processes;
        platform.ports.http = &http;
        platform.ports.installService = &installer;
        std::string entries;
        for (const auto& model : kModels)
            entries += (entries.empty() ? "" : ",") + Fake::Entry(model[0], model[1], "Pixel", "yes");
        scene.WriteShippedWhitelist(Fake::FileOf(entries));
        std::string none;
        service.BuildPhoneList(none);  // reads the whitelist, as a host's first phone list does
        service.SetCallback(&Fake::HostRecorder::Callback);
        LogRelay relay;  // logged, so that a transcript shows when a track record was handed over
        relay.sendMsg = [](const char* text) { LogLine("relay", 0, "relay: %s\n", text ? text : ""); };
        SetLogRelay(relay);
    }
    ~PipelineTest() override
    {
        service.SetCallback(nullptr);
        SetLogRelay(LogRelay{});
    }

    // The phone in the tree with its ADB interface and, unless told, its driver bound.
    void AddToTree(const Phone& phone, bool driver = true, bool adb = true)
    {
        tree.AddPhone(phone.vid, phone.pid, phone.serial, "Android Phone", adb, phone.Interface());
        if (driver)
            BindDriver(phone);
    }
    void BindDriver(const Phone& phone)
    {
        tree.AddAdbDriverInterface("USB\\" + phone.Key() + "&MI_01\\" + phone.Interface());
    }
    // What the listener's consumer hands the service, from any thread.
    void Sink(const std::string& action, const Phone& phone)
    {
        const std::string text = "{\"action\":\"" + action + "\",\"device_info\":\"" + Escaped(phone.Path()) + "\"}";
        UsbService::MessageSink(text.c_str(), static_cast<uint32_t>(text.size()), &service);
    }
    void Plug(const Phone& phone, bool driver = true)
    {
        AddToTree(phone, driver);
        Sink("DEVICE_ONLINE", phone);
    }
    void Unplug(const Phone& phone)
    {
        tree.RemoveMatching(phone.serial);
        Sink("DEVICE_OFFLINE", phone);
    }
    void Answer(const std::string& action, const std::string& serial, const std::string& command = "")
    {
        service.PostMessage("{\"action\":\"" + action + "\",\"device_sn\":\"" + serial + "\"" +
                            (command.empty() ? "" : ",\"command\":" + command) + "}");
    }
    // Until no message waits and no phone's check or installer runs.
    void Run() { EXPECT_TRUE(service.RunUntilIdle()); }
    // Phones waiting on the server's pushed list are no work in progress: run until `done`.
    template <typename Done>
    bool RunUntil(Done done)
    {
        return Fake::WaitFor([&] { return service.RunUntilIdle(), done(); });
    }
    // The host's messages about one phone, by name.
    std::string HostOf(const std::string& serial) const
    {
        std::string out;
        for (const Fake::HostMessage& m : host.Messages())
            if (m.json.find("\"device_sn\":\"" + serial + "\"") != std::string::npos) {
                const std::string name = UsbService::MessageName(m.id);
                out += (out.empty() ? "" : " ") + (name.empty() ? std::to_string(m.id) : name);
            }
        return out;
    }
    // What the host and the files saw since the last Forget.
    std::string Flow(const std::string& extra = "", bool pauses = true)
    {
        return host.Transcript() + Fake::Transcript(platform, extra + Listings(), pauses);
    }
    std::string Listings() const { return "listings: " + std::to_string(bridge.listingCalls) + "\n"; }
    void Forget()
    {
        Fake::ClearTranscript(platform);
        host.Clear();
        bridge.listingCalls = 0;
        bridge.listingTimes.clear();
    }

    static std::string Escaped(const std::string& text)
    {
        std::string out;
        for (char c : text)
            out += c == '\\' ? std::string("\\\\") : std::string(1, c);
        return out;
    }

    Fake::Scene scene;
    Fake::Platform& platform = scene.platform;
    Fake::DeviceTree& tree = scene.tree;
    ConfigFile configFile;
    Fake::AdbBridge bridge{platform.library};
    Fake::Processes processes;
    Fake::Http http;
    Fake::InstallService installer;
    Fake::HostRecorder host;
    UsbService service;
};

}  // namespace PipelineTesting
}  // namespace USB

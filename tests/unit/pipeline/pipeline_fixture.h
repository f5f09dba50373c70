// One service object with a fake bridge, fake processes, a fake device tree and a message
// recorder; shared by the pipeline suites.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "discovery/device_scan.h"
#include "fakes/fake_device_tree.h"
#include "fakes/fake_pipeline.h"
#include "fakes/fake_platform.h"
#include "fakes/test_access.h"
#include "service/USB_Service.h"

namespace USB {
namespace PipelineTesting {

constexpr const char* kPhoneVidPid = "VID_18D1&PID_4EE7";

// The log and track files are written in text mode: "\r\n" on Windows.
inline std::string WithoutCr(std::string text)
{
    std::string out;
    for (char c : text)
        if (c != '\r')
            out += c;
    return out;
}

class PipelineTest : public ::testing::Test {
protected:
    PipelineTest()
    {
        platform.ports.process = &processes;
        platform.ports.deviceTree = &tree;
    }

    // A record as the arrival branch leaves it.
    UsbDevice* AddPhone(const std::string& serial, bool adbOpen = true, const std::string& description = "Pixel")
    {
        UsbDevice* device = new UsbDevice();
        device->m_pDeviceSn = serial;
        device->m_vid = "18D1";
        device->m_pid = "4EE7";
        device->m_vidPid = kPhoneVidPid;
        device->m_description = description;
        device->m_isAdbOpen = adbOpen;
        EXPECT_EQ(service.Devices().Add(device), 0);
        return device;
    }

    // Windows still shows the phone's ADB interface.
    void ShowAdbInterface()
    {
        tree.AddPhone(L"18D1", L"4EE7", L"ABC123", L"Pixel");
        tree.AddAdbDriverInterface(L"USB\\VID_18D1&PID_4EE7&MI_01\\6&12345678&0&0001");
    }

    static std::string DevicePayload(const std::string& serial, const std::string& desc, bool adbOpen, bool driver)
    {
        return std::string("{\"b_adbopen\":") + (adbOpen ? "true" : "false") + ",\"b_driver\":" +
               (driver ? "true" : "false") + ",\"device_desc\":\"" + desc + "\",\"device_sn\":\"" + serial + "\"}\n";
    }

    static std::string OwnerPayload(const std::string& serial, const std::string& desc, const std::string& name)
    {
        return "{\"device_desc\":\"" + desc + "\",\"device_sn\":\"" + serial + "\",\"kill-name\":\"" + name + "\"}\n";
    }

    static size_t Occurrences(const std::string& text, const std::string& part)
    {
        size_t n = 0;
        for (size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + part.size()))
            ++n;
        return n;
    }

    std::string LastTrackLine() const
    {
        std::string text = WithoutCr(platform.TrackText());
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        const size_t nl = text.rfind('\n');
        return nl == std::string::npos ? text : text.substr(nl + 1);
    }

    Fake::Platform platform;
    Fake::AdbBridge bridge{platform.library};
    Fake::Processes processes;
    Fake::DeviceTree tree;
    UsbService service;
    Fake::UiRecorder ui{service};
};

}  // namespace PipelineTesting
}  // namespace USB

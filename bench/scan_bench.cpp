// Cost of one short-form scan of the device tree, per device, for trees of growing size.
// The mix: a tenth whitelisted phones (composite parent + ADB interface), known-vendor
// devices that are no phones, HID keyboards and devices of unknown vendors.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "discovery/device_scan.h"
#include "identification/phone_scan.h"
#include "fakes/device_scene.h"

namespace {

std::string Hex4(unsigned v)
{
    char buffer[8];
    std::snprintf(buffer, sizeof(buffer), "%04X", v & 0xFFFF);
    return buffer;
}

void FillTree(USB::Fake::DeviceTree& tree, size_t devices)
{
    for (size_t i = 0; tree.nodes.size() < devices; ++i) {
        const std::string serial = "SN" + std::to_string(i);
        switch (i % 10) {
        case 0:
            tree.AddPhone("18D1", "4EE2", serial);
            break;
        case 1:
        case 2:
        case 3:
        case 4:
            tree.AddPhone("04E8", Hex4(0x1000 + static_cast<unsigned>(i)), serial, "x", false);
            break;
        case 5: {
            USB::UsbNode keyboard;
            keyboard.instanceId = "USB\\VID_18D1&PID_" + Hex4(0x5000 + static_cast<unsigned>(i)) + "\\7&1&0&" + serial;
            keyboard.classGuid = "{745A17A0-74D3-11D0-B6FE-00A0C90F57DA}";
            tree.AddDevice(keyboard);
            break;
        }
        default:
            tree.AddPhone("046D", Hex4(0xC000 + static_cast<unsigned>(i)), serial, "x", false);
        }
    }
    tree.nodes.resize(devices);
}

}  // namespace

int main()
{
    USB::Fake::Scene scene;
    scene.WriteShippedWhitelist(USB::Fake::FileOf(USB::Fake::Entry("18D1", "4EE2", "Nexus 5", "yes")));
    USB::Fake::DecisionPieces pieces;  // as the service has them
    pieces.whiteList.LoadBuiltInVendors();
    pieces.whiteList.LoadWhiteListFromFile();

    std::printf("short-form scan (ScanPresentPhones, empty negative cache each time)\n");
    std::printf("%8s %8s %14s %14s\n", "devices", "runs", "us per scan", "ns per device");
    for (size_t devices : {50, 500, 5000}) {
        scene.tree.Clear();
        FillTree(scene.tree, devices);
        const int runs = devices >= 5000 ? 3 : devices >= 500 ? 10 : 50;
        double total = 0;
        for (int r = 0; r < runs; ++r) {
            pieces.notPhoneCache.Clear();
            std::vector<std::string> posted;
            const auto start = std::chrono::steady_clock::now();
            USB::ScanPresentPhones(pieces.decision, pieces.devices, true,
                                   [&posted](const std::string& text) { posted.push_back(text); });
            total += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
        }
        const double perScan = total / runs;
        std::printf("%8zu %8d %14.1f %14.1f\n", devices, runs, perScan, perScan * 1000.0 / devices);
    }
    return 0;
}

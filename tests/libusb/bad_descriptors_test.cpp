// SPDX-License-Identifier: MIT
// Devices at the scanner's place whose descriptors do not describe a ZN417
// that can be driven: each is passed over, by the backend (with a trace line
// saying why) where no USB driver could use it, by the plug-in's discovery
// where it is not the scanner's interface; none is left open or claimed.
// Extra interfaces and alternate settings do not lead the walk astray.
#include "support/libusb_fixture.h"

namespace {

MockEndpoint Endpoint(uint8_t address, uint8_t type, uint16_t maxPacketSize) {
    return {address, type, maxPacketSize, static_cast<uint8_t>(type == 3 ? 8 : 0)};
}

// A ZN417's layout as one case changes it.
struct LayoutCase {
    const char* name;
    void (*change)(MockDeviceLayout* layout);
    const char* traced;  // what every "passed over" trace line says; null: no line asked for
};

// A device at the scanner's place, 1-4.1, with the layout of the case.
class Layouts : public PluginOnLibusb, public ::testing::WithParamInterface<LayoutCase> {
protected:
    void AddDevices() override {
        MockDeviceLayout layout = Zn417Layout();
        GetParam().change(&layout);
        scanner_ = MockAddDevice(bus_, 1, {4, 1}, layout);
    }
};

std::string CaseName(const ::testing::TestParamInfo<LayoutCase>& info) {
    return info.param.name;
}

using PassedOver = Layouts;

INSTANTIATE_TEST_SUITE_P(
    , PassedOver,
    ::testing::Values(
        LayoutCase{"NoInterruptPipe",
                   [](MockDeviceLayout* l) { l->interfaces[0].endpoints.pop_back(); }, nullptr},
        LayoutCase{"DescriptorsRunShort",  // one endpoint more declared than the descriptors hold
                   [](MockDeviceLayout* l) { l->interfaces[0].declaredEndpoints = 4; },
                   "1-4.1 passed over: its configuration cannot be read"},
        // Once per walk: the attached-device check's and the discovery's.
        LayoutCase{"ZeroPacketSize",
                   [](MockDeviceLayout* l) { l->interfaces[0].endpoints[2].maxPacketSize = 0; },
                   "1-4.1 if0 passed over: endpoint 0x83 has a wMaxPacketSize of 0"},
        LayoutCase{"EndpointAddressTwice",
                   [](MockDeviceLayout* l) { l->interfaces[0].endpoints[2] = Endpoint(0x82, 3, 64); },
                   "if0 passed over: endpoint 0x82 appears twice"},
        LayoutCase{"PrinterClass",  // bidirectional printer
                   [](MockDeviceLayout* l) {
                       l->interfaces[0].interfaceClass = 7;
                       l->interfaces[0].subClass = 1;
                       l->interfaces[0].protocol = 2;
                   },
                   nullptr},
        LayoutCase{"NoAlternateSettingZero",
                   [](MockDeviceLayout* l) { l->interfaces[0].alternate = 1; },
                   "passed over: it has no alternate setting 0"}),
    CaseName);

TEST_P(PassedOver, StartFindsNothingItCanTakeAndNothingIsClaimed) {
    EXPECT_EQ(Start(), -1);
    EXPECT_EQ(gPluginState.load(), nullptr);
    EXPECT_EQ(MockGetReport(scanner_).claims, 0u);
    if (GetParam().traced != nullptr) {
        const std::vector<std::string> lines = TraceLines::Get().With("passed over");
        ASSERT_FALSE(lines.empty());
        for (const std::string& line : lines) {
            EXPECT_NE(line.find(GetParam().traced), std::string::npos) << line;
        }
    }
}

using WrongDirections = Layouts;
INSTANTIATE_TEST_SUITE_P(
    , WrongDirections,
    ::testing::Values(LayoutCase{"BulkOutInPlaceOfBulkIn",
                                 [](MockDeviceLayout* l) {
                                     l->interfaces[0].endpoints[1] = Endpoint(0x02, 2, 512);
                                 },
                                 nullptr}),
    CaseName);

TEST_P(WrongDirections, AnInterfaceWithoutABulkInPipeIsClosedAgainAndLeftUnclaimed) {
    // The pipes' directions are learnt from the open interface: the plug-in
    // opens it, finds no bulk-in pipe and gives it back at once.
    EXPECT_EQ(Start(), -1);
    EXPECT_EQ(gPluginState.load(), nullptr);
    const MockReport report = MockGetReport(scanner_);
    EXPECT_FALSE(report.claimed);
    EXPECT_EQ(report.claims, report.releases);
    EXPECT_TRUE(UrbsOn(report, kMockInterruptIn).empty());
}

// Another interface, or another setting of the scanner's, listed first.
using SomethingFirst = Layouts;
INSTANTIATE_TEST_SUITE_P(
    , SomethingFirst,
    ::testing::Values(
        LayoutCase{"ExtraInterface",
                   [](MockDeviceLayout* l) {
                       MockInterface extra = l->interfaces[0];
                       extra.number = 1;
                       for (MockEndpoint& endpoint : extra.endpoints) {
                           endpoint.address = static_cast<uint8_t>(endpoint.address + 3);
                       }
                       l->interfaces.insert(l->interfaces.begin(), extra);
                   },
                   nullptr},
        LayoutCase{"AlternateSetting",
                   [](MockDeviceLayout* l) {
                       MockInterface alternate = l->interfaces[0];
                       alternate.alternate = 1;
                       alternate.endpoints = {Endpoint(0x84, 3, 64)};
                       l->interfaces.insert(l->interfaces.begin(), alternate);
                   },
                   nullptr}),
    CaseName);

// The interface taken is number 0 described by its setting 0: its interrupt
// pipe is read, and its status packet is answered through its bulk pipes.
TEST_P(SomethingFirst, TheScannersInterfaceIsTakenAndWorksWithItsSettingZero) {
    StartWatching();
    Deliver(SendStatus, 0);
    const MockReport report = MockGetReport(scanner_);
    EXPECT_EQ(report.claimedInterface, 0u);
    EXPECT_EQ(UrbsOn(report, kMockInterruptIn).size(), 2u);  // before and after the packet
    EXPECT_EQ(Zn417GetReport(MockZn417(scanner_)).clockPackets, 1u);
}

}  // namespace

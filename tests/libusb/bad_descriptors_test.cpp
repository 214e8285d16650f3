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

// A device at the scanner's place, 1-4.1, described by the test's Layout().
class Layouts : public PluginOnLibusb {
protected:
    void AddDevices() override { scanner_ = MockAddDevice(bus_, 1, {4, 1}, Layout()); }
    virtual MockDeviceLayout Layout() = 0;

    // Start finds nothing it can take, and nothing was ever claimed.
    void ExpectPassedOverUnopened() {
        EXPECT_EQ(Start(), -1);
        EXPECT_EQ(gPluginState.load(), nullptr);
        EXPECT_EQ(MockGetReport(scanner_).claims, 0u);
    }
};

class MissingEndpoint : public Layouts {
    MockDeviceLayout Layout() override {
        MockDeviceLayout layout = Zn417Layout();
        layout.interfaces[0].endpoints.pop_back();  // no interrupt pipe
        return layout;
    }
};
TEST_F(MissingEndpoint, AnInterfaceWithTwoEndpointsIsPassedOverUnopened) {
    ExpectPassedOverUnopened();
}

class TruncatedEndpoints : public Layouts {
    MockDeviceLayout Layout() override {
        MockDeviceLayout layout = Zn417Layout();
        layout.interfaces[0].declaredEndpoints = 4;  // one more than the descriptors hold
        return layout;
    }
};
TEST_F(TruncatedEndpoints, ADeviceWhoseDescriptorsRunShortIsPassedOverWithATraceLine) {
    ExpectPassedOverUnopened();
    EXPECT_FALSE(TraceLines::Get().With("1-4.1 passed over: its configuration cannot be read").empty());
}

class WrongDirections : public Layouts {
    MockDeviceLayout Layout() override {
        MockDeviceLayout layout = Zn417Layout();
        layout.interfaces[0].endpoints[1] = Endpoint(0x02, 2, 512);  // bulk-out in place of bulk-in
        return layout;
    }
};
TEST_F(WrongDirections, AnInterfaceWithoutABulkInPipeIsClosedAgainAndLeftUnclaimed) {
    // The pipes' directions are learnt from the open interface: the plug-in
    // opens it, finds no bulk-in pipe and gives it back at once.
    EXPECT_EQ(Start(), -1);
    EXPECT_EQ(gPluginState.load(), nullptr);
    const MockReport report = MockGetReport(scanner_);
    EXPECT_FALSE(report.claimed);
    EXPECT_EQ(report.claims, report.releases);
    EXPECT_TRUE(UrbsOn(report, kMockInterruptIn).empty());
}

class ZeroPacketSize : public Layouts {
    MockDeviceLayout Layout() override {
        MockDeviceLayout layout = Zn417Layout();
        layout.interfaces[0].endpoints[2].maxPacketSize = 0;
        return layout;
    }
};
TEST_F(ZeroPacketSize, AnEndpointWithoutPacketSizeHasItsInterfacePassedOverWithATraceLine) {
    ExpectPassedOverUnopened();
    // Once per walk: the attached-device check's and the discovery's.
    const std::vector<std::string> lines = TraceLines::Get().With("passed over");
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) {
        EXPECT_NE(line.find("1-4.1 if0 passed over: endpoint 0x83 has a wMaxPacketSize of 0"),
                  std::string::npos)
            << line;
    }
}

class RepeatedEndpoint : public Layouts {
    MockDeviceLayout Layout() override {
        MockDeviceLayout layout = Zn417Layout();
        layout.interfaces[0].endpoints[2] = Endpoint(0x82, 3, 64);
        return layout;
    }
};
TEST_F(RepeatedEndpoint, AnEndpointAddressGivenTwiceHasItsInterfacePassedOver) {
    ExpectPassedOverUnopened();
    EXPECT_FALSE(TraceLines::Get().With("if0 passed over: endpoint 0x82 appears twice").empty());
}

class PrinterInterface : public Layouts {
    MockDeviceLayout Layout() override {
        MockDeviceLayout layout = Zn417Layout();
        layout.interfaces[0].interfaceClass = 7;  // printer, bidirectional
        layout.interfaces[0].subClass = 1;
        layout.interfaces[0].protocol = 2;
        return layout;
    }
};
TEST_F(PrinterInterface, AnInterfaceOfAnotherClassInPlaceOfTheScannersIsPassedOver) {
    ExpectPassedOverUnopened();
}

class ExtraInterfaceFirst : public Layouts {
    MockDeviceLayout Layout() override {
        MockDeviceLayout layout = Zn417Layout();
        MockInterface extra = layout.interfaces[0];
        extra.number = 1;
        for (MockEndpoint& endpoint : extra.endpoints) {
            endpoint.address = static_cast<uint8_t>(endpoint.address + 3);
        }
        layout.interfaces.insert(layout.interfaces.begin(), extra);
        return layout;
    }
};
TEST_F(ExtraInterfaceFirst, TheScannersInterfaceIsTakenWhateverComesBeforeIt) {
    StartWatching();
    const MockReport report = MockGetReport(scanner_);
    EXPECT_EQ(report.claimedInterface, 0u);
    EXPECT_EQ(UrbsOn(report, kMockInterruptIn).size(), 1u);
}

class AlternateSettingFirst : public Layouts {
    MockDeviceLayout Layout() override {
        MockDeviceLayout layout = Zn417Layout();
        MockInterface alternate = layout.interfaces[0];
        alternate.alternate = 1;
        alternate.endpoints = {Endpoint(0x84, 3, 64)};
        layout.interfaces.insert(layout.interfaces.begin(), alternate);
        return layout;
    }
};
TEST_F(AlternateSettingFirst, TheInterfaceIsDescribedByItsSettingZeroWhereverItIsListed) {
    StartWatching();
    Deliver(SendStatus, 0);
    EXPECT_EQ(Zn417GetReport(MockZn417(scanner_)).clockPackets, 1u);
}

class OnlyAlternateSettingOne : public Layouts {
    MockDeviceLayout Layout() override {
        MockDeviceLayout layout = Zn417Layout();
        layout.interfaces[0].alternate = 1;
        return layout;
    }
};
TEST_F(OnlyAlternateSettingOne, AnInterfaceWithoutSettingZeroIsPassedOverWithATraceLine) {
    ExpectPassedOverUnopened();
    EXPECT_FALSE(TraceLines::Get().With("passed over: it has no alternate setting 0").empty());
}

}  // namespace

// SPDX-License-Identifier: MIT
// Location IDs the libusb backend gives devices of several topologies: the
// bus in the top byte and one port per nibble; none for a port path that
// does not fit, so that no two attached devices ever share one.
#include <set>

#include "support/libusb_fixture.h"

namespace {

struct Placement {
    uint8_t bus;
    std::vector<uint8_t> ports;
    int32_t expected;  // -1: no location ID
};

// No device sits on another's port path (that place is a hub's).
const Placement kPlacements[] = {
    {1, {2}, 0x01200000},                   // a root port only
    {1, {3, 3}, 0x01330000},                // behind one hub
    {1, {6, 5, 4, 3, 2, 1}, 0x01654321},    // six ports, the deepest USB allows
    {1, {15, 15, 15, 15, 15, 15}, 0x01FFFFFF},
    {1, {4, 1, 1, 1, 1, 1, 1}, -1},         // a seventh port has no nibble
    {1, {17}, -1},                          // root port 17 is not root port 1
    {1, {1}, 0x01100000},
    {1, {3, 16}, -1},                       // hub port 16 is not hub port 0
    {2, {1}, 0x02100000},                   // the same port on another bus
};

class Locations : public MockedKernelTest {
protected:
    void AddDevices() override {
        for (const Placement& placement : kPlacements) {
            devices_.push_back(
                MockAddDevice(bus_, placement.bus, placement.ports, Zn417Layout()));
        }
    }
    std::vector<MockDevice*> devices_;
};

TEST_F(Locations, EachFittingPortPathHasItsOwnIdAndTheOthersHaveNone) {
    std::multiset<int32_t> expected;
    for (const Placement& placement : kPlacements) {
        expected.insert(placement.expected);
    }
    const std::vector<int32_t> found = MakerLocations();
    EXPECT_EQ(std::multiset<int32_t>(found.begin(), found.end()), expected);
    std::set<int32_t> distinct;
    for (int32_t location : found) {
        EXPECT_TRUE(location == -1 || distinct.insert(location).second) << std::hex << location;
    }
    EXPECT_EQ(TraceLines::Get().With("has no location ID").size(), 3u);
}

// A ZN417 on root port 1 and another on root port 17 of the same bus.
class PortsOneAndSeventeen : public PluginOnLibusb {
protected:
    void AddDevices() override {
        scanner_ = MockAddDevice(bus_, 1, {1}, Zn417Layout());
        other_ = MockAddDevice(bus_, 1, {17}, Zn417Layout());
    }
    MockDevice* other_ = nullptr;
};

TEST_F(PortsOneAndSeventeen, TheyAreNeverTakenForOneDevice) {
    // Two scanners attached: the plug-in's check finds them at two places
    // and watches neither, rather than opening whichever the walk meets.
    location_ = 0x01100000;
    EXPECT_EQ(Start(), 0);
    EXPECT_EQ(gPluginState.load(), nullptr);
    EXPECT_EQ(MockGetReport(scanner_).claims, 0u);
    EXPECT_EQ(MockGetReport(other_).claims, 0u);
}

// A ZN417 on root port 17 alone: it has no location to be started for.
class PortSeventeenAlone : public PluginOnLibusb {
protected:
    void AddDevices() override { scanner_ = MockAddDevice(bus_, 1, {17}, Zn417Layout()); }
};

TEST_F(PortSeventeenAlone, ItIsNotFoundAtTheLocationOfPortOne) {
    location_ = 0x01100000;
    EXPECT_EQ(Start(), -1);
    EXPECT_EQ(MockGetReport(scanner_).claims, 0u);
}

}  // namespace

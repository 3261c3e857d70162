// Test support: the driver loaded from the test binary with one device and
// its rings, reachable through the I/O manager; acquisition packets built the
// way the module sends them and stored the way the IN completion stores them.
#pragma once

#include "acquisition/block_reader.h"
#include "acquisition/key_events.h"
#include "acquisition/ring_buffer.h"
#include "control/stream_control.h"
#include "core/device_core.h"
#include "velnor/velnor_ioctl.h"

#include <hostkernel/hostkernel.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace velnor_test {

using Packet = std::array<USHORT, 17>;

// Recomputes the checksum after a word was changed.
inline void SealPacket(Packet& p) {
    USHORT sum = 0;
    for (int w = VELNOR_W_LA; w < VELNOR_W_CHKS; ++w) sum = static_cast<USHORT>(sum + p[w]);
    p[VELNOR_W_CHKS] = static_cast<USHORT>(0u - sum);
}

// A valid packet: SYNC, the electrode words from `base` upwards, the status
// words, SEQU, and the checksum that makes words 1..16 sum to 0.
inline Packet MakePacket(USHORT sequence, USHORT base = 0x100, USHORT sta1 = 0, USHORT sta2 = 0) {
    Packet p{};
    p[VELNOR_W_SYNC] = VELNOR_SYNC_WORD;
    USHORT v = base;
    for (int w : {VELNOR_W_LA, VELNOR_W_LL, VELNOR_W_V6, VELNOR_W_V5, VELNOR_W_V4, VELNOR_W_V3, VELNOR_W_V2,
                  VELNOR_W_V1, VELNOR_W_H, VELNOR_W_E, VELNOR_W_I, VELNOR_W_M})
        p[w] = v++;
    p[VELNOR_W_STA1] = sta1;
    p[VELNOR_W_STA2] = sta2;
    p[VELNOR_W_SEQU] = sequence;
    SealPacket(p);
    return p;
}

struct BlockReply {
    NTSTATUS status;
    ULONG length;
    std::vector<USHORT> words;  // the reply buffer after the request
};

class DeviceFixture : public ::testing::Test {
protected:
    static constexpr ULONG kDataRingBytes = 680000;

    void SetUp() override {
        hk::LogClear();
        driver_ = hk::LoadDriver(DriverEntry, u"Velnor");
        ASSERT_NE(driver_, nullptr);
        PDRIVER_OBJECT object = hk::DriverObjectOf(driver_);
        UNICODE_STRING name, link;
        RtlInitUnicodeString(&name, u"\\Device\\Velnor-0");
        RtlInitUnicodeString(&link, u"\\DosDevices\\Velnor-0");
        ASSERT_EQ(IoCreateDevice(object, sizeof(DeviceExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device_),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
        device_->Flags |= DO_DIRECT_IO;
        device_->Flags &= ~DO_DEVICE_INITIALIZING;
        ext_ = static_cast<DeviceExtension*>(device_->DeviceExtension);
        // As add-device and a start leave it, without a bus below.
        ext_->PendingIoCount = 1;
        KeInitializeEvent(&ext_->RemoveEvent, NotificationEvent, FALSE);
        DeviceStarted = 1;
        ext_->DataRingBuffer = AllocRingBuffer(kDataRingBytes);
        ext_->DescriptorRingBuffer = AllocRingBuffer(12 * 10);
        ASSERT_NE(ext_->DataRingBuffer, nullptr);
        ASSERT_EQ(hk::OpenFile("\\\\.\\Velnor-0", &handle_), STATUS_SUCCESS);
        // Driver-wide settings as at load.
        PacketReadSize = VELNOR_PACKET_BYTES;
        ElectrodeReference = 0xFF;
        PaceThresh = 4;
        AcqModuleConnected = 0;
        DisarmSequenceCheck();
    }

    void TearDown() override {
        if (handle_ != hk::kInvalidHandle) hk::CloseFile(handle_);
        if (ext_) {
            for (RingBuffer* ring : {ext_->DataRingBuffer, ext_->DescriptorRingBuffer, ext_->IsoPacketRingBuffer})
                if (ring) FreeRingBuffer(ring);
        }
        if (device_) {
            UNICODE_STRING link;
            RtlInitUnicodeString(&link, u"\\DosDevices\\Velnor-0");
            IoDeleteSymbolicLink(&link);
            IoDeleteDevice(device_);
        }
        if (driver_) {
            EXPECT_TRUE(hk::UnloadDriver(driver_));
        }
        EXPECT_TRUE(hk::OutstandingPool().empty()) << "pool leaked";
    }

    // Stores packets one 34-byte write each, as the IN completion does.
    void Store(const Packet& p) {
        ASSERT_EQ(WriteRingBuffer(ext_->DataRingBuffer, reinterpret_cast<const UCHAR*>(p.data()), 34), 34u);
    }
    void Store(const std::vector<Packet>& packets) {
        for (const auto& p : packets) Store(p);
    }

    // Clean packets numbered 2 apart from `firstSequence`, electrode words
    // rising with the packet index so every sample is recognisable.
    std::vector<Packet> Stream(size_t n, USHORT firstSequence = 0, USHORT sta1 = 0) {
        std::vector<Packet> v;
        for (size_t i = 0; i < n; ++i)
            v.push_back(MakePacket(static_cast<USHORT>(firstSequence + 2 * i), static_cast<USHORT>(0x1000 + 16 * i),
                                   sta1));
        return v;
    }

    // One block request through the I/O manager: one buffer serves both
    // directions, `outBytes` of reply room (the reply size by default) and at
    // least the 6 request bytes; beyond the request words it holds `fill`.
    BlockReply ReadBlock(SHORT nSamples, SHORT nChannels, ULONG outBytes = 0, USHORT fill = 0xA5A5,
                         ULONG inBytes = 0) {
        if (!outBytes) outBytes = VelnorBlockReplyBytes(nSamples, nChannels);
        if (!inBytes) inBytes = outBytes > 6 ? outBytes : 6;
        std::vector<USHORT> buffer((std::max(outBytes, inBytes) + 1) / 2 + 3, fill);
        buffer[0] = 0;
        buffer[1] = static_cast<USHORT>(nSamples);
        buffer[2] = static_cast<USHORT>(nChannels);
        hk::IoResult r = hk::DeviceIoControl(handle_, IOCTL_VELNOR_READ_ISO_BUFFER, buffer.data(), inBytes,
                                             buffer.data(), outBytes);
        return {r.status, static_cast<ULONG>(r.information), buffer};
    }

    // KEYPAD_GETKEY for `wanted` keys with room for `room` entries.
    std::vector<ULONG> GetKeys(ULONG wanted, ULONG room = 16, NTSTATUS* status = nullptr) {
        std::vector<ULONG> buffer(room ? room : 1, 0xDEADBEEF);
        buffer[0] = wanted;
        hk::IoResult r = hk::DeviceIoControl(handle_, IOCTL_VELNOR_KEYPAD_GETKEY, buffer.data(), 4, buffer.data(),
                                             room * 4);
        if (status) *status = r.status;
        buffer.resize(r.information / 4);
        return buffer;
    }

    void Flush() {
        hk::IoResult r = hk::DeviceIoControl(handle_, IOCTL_VELNOR_KEYPAD_FLUSH, nullptr, 0, nullptr, 0);
        ASSERT_EQ(r.status, STATUS_SUCCESS);
    }

    hk::Driver* driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    DeviceExtension* ext_ = nullptr;
    hk::Handle handle_ = hk::kInvalidHandle;
};

}  // namespace velnor_test

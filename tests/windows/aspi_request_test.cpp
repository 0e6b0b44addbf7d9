// ASPI execute requests through a stand-in manager: the manager gets a block
// and buffer of the host's own, results come back into the drive object's
// block and buffer when the request completes, and a request whose wait
// expired is aborted and its block, buffer and event are never reused before
// the manager marks it done; after that the block serves later requests, of
// this thread and others, as any other. A request sent without an event is
// followed by polling, and given up without the host waiting for it.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "device/RequestLayout.h"
#include "device/host_windows.h"

namespace zorbel::winhost {
namespace {

namespace ex = srb::exec;
using Request = std::array<std::uint8_t, ex::Size>;

// The stand-in manager: completes execute requests at once or leaves them
// pending; records what it was handed.
struct Manager {
    bool pend = false;
    std::vector<std::uint8_t*> executed;
    std::vector<std::uintptr_t> aborted;
    std::vector<std::uint8_t> outSeen;
};
Manager* manager = nullptr;
WindowsHost* host = nullptr;

void complete(std::uint8_t* block, std::uint8_t fill, std::uint8_t key) {
    const std::uint32_t length =
        getLe32(std::span<const std::uint8_t>(block, ex::Size), ex::BufLen);
    if ((block[srb::Flags] & srb::DirIn) != 0 && length != 0) {
        std::memset(host->aspiTransferBuffer(block), fill, length);
    }
    block[ex::SenseArea + sense::Key] = key;
    block[ex::SenseArea + sense::Asc] = key != 0 ? 0x20 : 0;
    block[srb::Status] = key != 0 ? 0x04 : srb::SsComp;
    if ((block[srb::Flags] & srb::EventNotify) != 0) {
        const std::uint32_t event =
            getLe32(std::span<const std::uint8_t>(block, ex::Size), ex::PostProc);
        SetEvent(
            reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(static_cast<std::int32_t>(event))));
    }
}

DWORD __cdecl send(void* raw) {
    auto* block = static_cast<std::uint8_t*>(raw);
    if (block[srb::Cmd] == ScAbortSrb) {
        std::uintptr_t target = 0;
        std::memcpy(&target, block + AbortToAbort, sizeof target);
        manager->aborted.push_back(target);
        block[srb::Status] = srb::SsComp;
        return srb::SsComp;
    }
    if (block[srb::Cmd] == srb::ScHaInquiry) {
        block[srb::hainquiry::HaCount] = 1;
        block[srb::Status] = srb::SsComp;
        return srb::SsComp;
    }
    manager->executed.push_back(block);
    const std::uint32_t length =
        getLe32(std::span<const std::uint8_t>(block, ex::Size), ex::BufLen);
    if ((block[srb::Flags] & srb::DirOut) != 0 && length != 0) {
        const auto* data = static_cast<const std::uint8_t*>(host->aspiTransferBuffer(block));
        manager->outSeen.assign(data, data + length);
    }
    if (!manager->pend) {
        complete(block, 0xA5, 0);
    }
    return block[srb::Status];
}

class AspiRequests : public testing::Test {
  protected:
    void SetUp() override {
        manager = &manager_;
        host = &host_;
    }
    void TearDown() override {
        manager = nullptr;
        host = nullptr;
    }
    static AspiProc proc() { return reinterpret_cast<AspiProc>(&send); }

    // An execute request as the drive object lays it out.
    Request makeRequest(std::uint8_t flags, std::uint32_t length, EventHandle event) {
        Request r{};
        r[srb::Cmd] = srb::ScExecScsiCmd;
        r[srb::Flags] = static_cast<std::uint8_t>(flags | (event != 0 ? srb::EventNotify : 0));
        putLe32(r, ex::BufLen, length);
        putLe32(r, ex::BufPointer, length != 0 ? 0x1000u : 0u);
        r[ex::SenseLen] = ex::SenseLength;
        r[ex::CdbLen] = 12;
        putLe32(r, ex::PostProc, event);
        r[ex::CdbByte] = 0x3C;
        return r;
    }

    Manager manager_;
    WindowsHost host_;
};

TEST_F(AspiRequests, TheManagerWorksOnTheHostsCopiesAndResultsComeBack) {
    std::vector<std::uint8_t> in(96, 0);
    const EventHandle event = host_.createEvent();
    ASSERT_NE(event, 0u);
    Request request = makeRequest(srb::DirIn, 96, event);
    host_.aspiSendCommand(proc(), request, in.data());
    ASSERT_EQ(manager_.executed.size(), 1u);
    EXPECT_NE(manager_.executed[0], request.data());
    EXPECT_NE(host_.aspiTransferBuffer(manager_.executed[0]), in.data());
    EXPECT_EQ(request[srb::Status], srb::SsComp);
    EXPECT_EQ(in[0], 0xA5);
    EXPECT_EQ(in[95], 0xA5);
    host_.closeEvent(event);

    // Data out reaches the manager's buffer before the request is sent.
    std::vector<std::uint8_t> out(16384, 0x3C);
    request = makeRequest(srb::DirOut, 16384, 0);
    host_.aspiSendCommand(proc(), request, out.data());
    EXPECT_EQ(manager_.outSeen, out);
    EXPECT_EQ(request[srb::Status], srb::SsComp);
    EXPECT_EQ(host_.aspiRequestsOutstanding(), 0u);

    // Inquiries complete at once and come back in place.
    std::array<std::uint8_t, srb::hainquiry::Size> inquiry{};
    inquiry[srb::Cmd] = srb::ScHaInquiry;
    host_.aspiSendCommand(proc(), inquiry, nullptr);
    EXPECT_EQ(inquiry[srb::Status], srb::SsComp);
    EXPECT_EQ(inquiry[srb::hainquiry::HaCount], 1);
}

TEST_F(AspiRequests, APendingRequestCompletesThroughItsEvent) {
    manager_.pend = true;
    std::vector<std::uint8_t> in(96, 0);
    const EventHandle event = host_.createEvent();
    Request request = makeRequest(srb::DirIn, 96, event);
    host_.aspiSendCommand(proc(), request, in.data());
    EXPECT_EQ(request[srb::Status], srb::SsPending);
    complete(manager_.executed.at(0), 0x11, 0x05);
    EXPECT_TRUE(host_.waitEvent(event, 1000));
    host_.closeEvent(event);
    EXPECT_EQ(request[srb::Status], 0x04);
    EXPECT_EQ(request[ex::SenseArea + sense::Key], 0x05);
    EXPECT_EQ(request[ex::SenseArea + sense::Asc], 0x20);
    EXPECT_EQ(in[10], 0x11);
    EXPECT_TRUE(manager_.aborted.empty());
    EXPECT_EQ(host_.aspiRequestsOutstanding(), 0u);
}

TEST_F(AspiRequests, AnExpiredRequestIsAbortedAndNeverReusedWhileTheManagerHoldsIt) {
    manager_.pend = true;
    std::vector<std::uint8_t> in(96, 0);
    const EventHandle first = host_.createEvent();
    Request request = makeRequest(srb::DirIn, 96, first);
    host_.aspiSendCommand(proc(), request, in.data());
    EXPECT_FALSE(host_.waitEvent(first, 10));
    host_.closeEvent(first);
    std::uint8_t* held = manager_.executed.at(0);
    ASSERT_EQ(manager_.aborted.size(), 1u);
    EXPECT_EQ(manager_.aborted[0], reinterpret_cast<std::uintptr_t>(held));
    EXPECT_EQ(request[srb::Status], srb::SsPending);  // the drive object sees a time-out
    EXPECT_EQ(host_.aspiRequestsOutstanding(), 1u);
    // The manager may still signal the event: it stays open.
    DWORD flags = 0;
    EXPECT_TRUE(GetHandleInformation(
        reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(static_cast<std::int32_t>(first))),
        &flags));

    // The next command gets another block and buffer.
    const EventHandle second = host_.createEvent();
    request = makeRequest(srb::DirIn, 96, second);
    host_.aspiSendCommand(proc(), request, in.data());
    ASSERT_EQ(manager_.executed.size(), 2u);
    EXPECT_NE(manager_.executed[1], held);
    EXPECT_NE(host_.aspiTransferBuffer(manager_.executed[1]), host_.aspiTransferBuffer(held));

    // The late answer of the aborted request lands in the host's copies only.
    complete(held, 0x77, 0x06);
    EXPECT_EQ(request[srb::Status], srb::SsPending);
    EXPECT_EQ(in[0], 0);
    complete(manager_.executed[1], 0x22, 0);
    EXPECT_TRUE(host_.waitEvent(second, 1000));
    host_.closeEvent(second);
    EXPECT_EQ(request[srb::Status], srb::SsComp);
    EXPECT_EQ(in[0], 0x22);

    // Once the manager is done with it, the block is free again.
    EXPECT_EQ(host_.aspiRequestsOutstanding(), 0u);
    request = makeRequest(srb::DirIn, 96, 0);
    manager_.pend = false;
    host_.aspiSendCommand(proc(), request, in.data());
    EXPECT_TRUE(manager_.executed[2] == held || manager_.executed[2] == manager_.executed[1]);
}

TEST_F(AspiRequests, AfterATimeOutLaterRequestsOfTwoThreadsGetTheirOwnResults) {
    manager_.pend = true;
    std::vector<std::uint8_t> in(96, 0);
    const EventHandle first = host_.createEvent();
    Request request = makeRequest(srb::DirIn, 96, first);
    host_.aspiSendCommand(proc(), request, in.data());
    EXPECT_FALSE(host_.waitEvent(first, 10));
    host_.closeEvent(first);
    std::uint8_t* held = manager_.executed.at(0);
    complete(held, 0x77, 0);  // the late answer: the block is free again
    EXPECT_EQ(host_.aspiRequestsOutstanding(), 0u);

    // The second request, on this thread, gets the freed block; while it is
    // with the manager a third, from another thread, gets another.
    std::vector<std::uint8_t> secondIn(96, 0);
    const EventHandle second = host_.createEvent();
    Request secondRequest = makeRequest(srb::DirIn, 96, second);
    host_.aspiSendCommand(proc(), secondRequest, secondIn.data());
    ASSERT_EQ(manager_.executed.size(), 2u);
    EXPECT_EQ(manager_.executed[1], held);
    complete(held, 0x22, 0);  // ended, its owner not yet back from the wait

    std::vector<std::uint8_t> thirdIn(96, 0);
    Request thirdRequest{};
    std::thread other([&] {
        const EventHandle third = host_.createEvent();
        thirdRequest = makeRequest(srb::DirIn, 96, third);
        host_.aspiSendCommand(proc(), thirdRequest, thirdIn.data());
        complete(manager_.executed.at(2), 0x33, 0x05);
        EXPECT_TRUE(host_.waitEvent(third, 1000));
        host_.closeEvent(third);
    });
    other.join();
    EXPECT_NE(manager_.executed.at(2), held);
    EXPECT_EQ(thirdRequest[srb::Status], 0x04);
    EXPECT_EQ(thirdRequest[ex::SenseArea + sense::Key], 0x05);
    EXPECT_EQ(thirdIn[0], 0x33);

    EXPECT_TRUE(host_.waitEvent(second, 1000));
    host_.closeEvent(second);
    EXPECT_EQ(secondRequest[srb::Status], srb::SsComp);
    EXPECT_EQ(secondRequest[ex::SenseArea + sense::Key], 0);
    EXPECT_EQ(secondIn[0], 0x22);
    EXPECT_EQ(secondIn[95], 0x22);
    EXPECT_EQ(manager_.aborted.size(), 1u);
    EXPECT_EQ(host_.aspiRequestsOutstanding(), 0u);
}

TEST_F(AspiRequests, ARequestWithoutAnEventIsFollowedByPollingAndGivenUpByItsOwner) {
    manager_.pend = true;
    std::vector<std::uint8_t> in(96, 0);
    Request request = makeRequest(srb::DirIn, 96, 0);
    host_.aspiSendCommand(proc(), request, in.data());  // returns with the request running
    EXPECT_FALSE(host_.aspiRequestEnded(request, false));
    complete(manager_.executed.at(0), 0x44, 0);
    EXPECT_TRUE(host_.aspiRequestEnded(request, false));
    EXPECT_EQ(request[srb::Status], srb::SsComp);
    EXPECT_EQ(in[0], 0x44);

    request = makeRequest(srb::DirIn, 96, 0);
    host_.aspiSendCommand(proc(), request, in.data());
    EXPECT_FALSE(host_.aspiRequestEnded(request, true));
    ASSERT_EQ(manager_.aborted.size(), 1u);
    EXPECT_EQ(manager_.aborted[0], reinterpret_cast<std::uintptr_t>(manager_.executed.at(1)));
    EXPECT_EQ(host_.aspiRequestsOutstanding(), 1u);
    complete(manager_.executed[1], 0x55, 0);
    EXPECT_FALSE(host_.aspiRequestEnded(request, false));  // the owner gave it up
    EXPECT_EQ(in[0], 0x44);
    EXPECT_EQ(host_.aspiRequestsOutstanding(), 0u);
}

}  // namespace
}  // namespace zorbel::winhost

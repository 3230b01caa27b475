#include "SimRig.h"

#include <gtest/gtest.h>

namespace clientstack {

std::unique_ptr<ClientRig> MakeClientRig() {
    return std::make_unique<SimRig>();
}

SimRig::SimRig() {
    machine_.SetFindingHandler([](const ::sim::Finding& f) { ADD_FAILURE() << f.text; });
}

bool SimRig::Plug(std::string& why) {
    colorimeter_ = machine_.PlugIn();
    if (colorimeter_ == nullptr) {
        why = "the bus has no port left";
        return false;
    }
    colorimeter_->SetVendorHandler([this](const USB_SETUP_PACKET& setup, const Bytes& hostData) {
        return Reply(setup, hostData);
    });
    return true;
}

::sim::ControlReply SimRig::Reply(const USB_SETUP_PACKET& setup, const Bytes& hostData) {
    std::lock_guard<std::mutex> lock(mu_);
    seen_.push_back(
        {setup.bmRequestType, setup.bRequest, setup.wValue, setup.wIndex, setup.wLength, hostData});
    if (script_.empty())
        return ::sim::ControlReply::Stall();
    const Answer answer = script_.front();
    script_.pop_front();
    ::sim::ControlReply reply;
    switch (answer.kind) {
    case Answer::Kind::Data:
        reply = ::sim::ControlReply::Data(answer.data);
        break;
    case Answer::Kind::Ack:
        reply = ::sim::ControlReply::Ack();
        break;
    case Answer::Kind::Stall:
        reply = ::sim::ControlReply::Stall();
        break;
    case Answer::Kind::UsbError:
        reply = ::sim::ControlReply::UsbError(static_cast<USBD_STATUS>(answer.usbdStatus));
        break;
    case Answer::Kind::Nothing:
        reply = ::sim::ControlReply::NoAnswer();
        break;
    }
    return reply.After(answer.delayMs);
}

void SimRig::Script(const std::vector<Answer>& answers) {
    std::lock_guard<std::mutex> lock(mu_);
    script_.assign(answers.begin(), answers.end());
}

void SimRig::PushInterrupt(const Bytes& bytes) {
    EXPECT_EQ(colorimeter_->PushInterrupt(bytes), STATUS_SUCCESS);
}

std::vector<WireRequest> SimRig::Seen() {
    std::lock_guard<std::mutex> lock(mu_);
    return seen_;
}

void SimRig::ForgetSeen() {
    std::lock_guard<std::mutex> lock(mu_);
    seen_.clear();
}

bool SimRig::Unplug(std::string& why) {
    const NTSTATUS status = machine_.Unplug(colorimeter_);
    if (status != STATUS_SUCCESS)
        why = "the machine's unplug returned " + std::to_string(status);
    return status == STATUS_SUCCESS;
}

} // namespace clientstack

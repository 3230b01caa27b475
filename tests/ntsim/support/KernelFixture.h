// A kernel per test whose verifier findings fail the test unless the test expects them.
#pragma once

#include "ntsim/Kernel.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

class KernelFixture : public ::testing::Test {
protected:
    void SetUp() override { Start({}); }

    void Start(ntsim::KernelOptions options) {
        kernel_.reset();
        kernel_ = std::make_unique<ntsim::Kernel>(options);
        kernel_->verifier().SetHandler([this](const ntsim::Violation& v) {
            std::lock_guard<std::mutex> lock(mu_);
            seen_.push_back(v);
        });
    }

    void TearDown() override {
        kernel_.reset(); // leaks reach the handler here
        for (const ntsim::Violation& v : seen_)
            ADD_FAILURE() << "unexpected violation: " << v.text;
    }

    ntsim::Kernel& kernel() { return *kernel_; }

    // Takes the violations of `kind` seen so far (they no longer fail the test).
    size_t Take(ntsim::ViolationKind kind) {
        std::lock_guard<std::mutex> lock(mu_);
        size_t count = 0;
        for (auto it = seen_.begin(); it != seen_.end();) {
            if (it->kind == kind) {
                ++count;
                it = seen_.erase(it);
            } else {
                ++it;
            }
        }
        return count;
    }

private:
    std::unique_ptr<ntsim::Kernel> kernel_;
    std::mutex mu_;
    std::vector<ntsim::Violation> seen_;
};

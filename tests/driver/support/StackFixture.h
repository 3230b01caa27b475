// A machine per test whose findings (kernel verifier, framework verifier) fail the test unless the
// test takes them, or expects them.
#pragma once

#include "sim/Machine.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

template <class M> class StackFixture : public ::testing::Test {
protected:
    void TearDown() override {
        machine_.reset(); // leaks are found here
        for (const std::string& part : expected_)
            EXPECT_GT(Take(part), 0u) << "expected a finding: " << part;
        for (const sim::Finding& f : Untaken())
            ADD_FAILURE() << "unexpected finding: " << f.text;
    }

    template <class... Args> M& Boot(Args&&... args) {
        machine_ = std::make_unique<M>(std::forward<Args>(args)...);
        machine_->SetFindingHandler([this](const sim::Finding& f) {
            std::lock_guard<std::mutex> lock(mu_);
            seen_.push_back(f);
        });
        return *machine_;
    }

    M& machine() { return *machine_; }
    const M& machine() const { return *machine_; }
    bool Booted() const { return machine_ != nullptr; }

    // Takes the findings whose text contains `part` (they no longer fail the test).
    size_t Take(const std::string& part) {
        std::lock_guard<std::mutex> lock(mu_);
        size_t count = 0;
        for (auto it = seen_.begin(); it != seen_.end();) {
            if (it->text.find(part) != std::string::npos) {
                ++count;
                it = seen_.erase(it);
            } else {
                ++it;
            }
        }
        return count;
    }

    // A finding containing `part` must come by the end of the test (leaks at the kernel's stop
    // included); those that do are taken then.
    void Expect(const std::string& part) { expected_.push_back(part); }

    std::vector<sim::Finding> Untaken() {
        std::lock_guard<std::mutex> lock(mu_);
        return seen_;
    }

private:
    std::unique_ptr<M> machine_;
    std::mutex mu_;
    std::vector<sim::Finding> seen_;
    std::vector<std::string> expected_;
};

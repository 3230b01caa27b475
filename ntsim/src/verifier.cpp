// The kernel's verifier: violations kept in order, each shown to the test's handler.
#include "Internal.h"

namespace ntsim {

struct Verifier::Impl {
    mutable std::mutex mu;
    std::vector<Violation> violations;
    std::function<void(const Violation&)> handler;
};

Verifier::Verifier() : impl_(new Impl) {}
Verifier::~Verifier() = default;

void Verifier::SetHandler(std::function<void(const Violation&)> handler) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->handler = std::move(handler);
}

std::vector<Violation> Verifier::Violations() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->violations;
}

size_t Verifier::Count(ViolationKind kind) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    size_t count = 0;
    for (const Violation& v : impl_->violations)
        count += v.kind == kind ? 1 : 0;
    return count;
}

void Verifier::Clear() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->violations.clear();
}

void Verifier::Report(ViolationKind kind, const std::string& text) {
    std::function<void(const Violation&)> handler;
    Violation violation{kind, text};
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->violations.push_back(violation);
        handler = impl_->handler;
    }
    if (handler)
        handler(violation);
}

} // namespace ntsim

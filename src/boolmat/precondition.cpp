#include "precondition.hpp"

namespace boolmat {

void fail(const std::string& message) { throw PreconditionError(message); }

void fail_eq(const std::string& left, const std::string& right, const std::string& custom) {
    std::string report = "assertion `left == right` failed";
    if (!custom.empty()) {
        report += ": ";
        report += custom;
    }
    report += "\n  left: ";
    report += left;
    report += "\n right: ";
    report += right;
    throw PreconditionError(report);
}

}  // namespace boolmat

#include "boolmat/precondition.hpp"

namespace boolmat {

void fail(FailKind kind, const std::string& message) { throw PreconditionError(kind, message); }

void fail(const std::string& message) { throw PreconditionError(FailKind::Internal, message); }

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
    throw PreconditionError(FailKind::Shape, report);
}

}  // namespace boolmat

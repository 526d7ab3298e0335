#include "failure/failure.h"

namespace tarnwick {
namespace {

// Each kind's name, as the report prints it.
constexpr std::string_view kKinds[] = {
#define TARNWICK_KIND_NAME(name) #name,
    TARNWICK_FAILURE_KINDS(TARNWICK_KIND_NAME)
#undef TARNWICK_KIND_NAME
};

}  // namespace

std::string_view kind_name(Kind kind) { return kKinds[static_cast<std::size_t>(kind)]; }

Failure::Failure(Kind kind, const void* address, std::string_view text, std::string_view more,
                 std::string_view tail)
    : kind_(kind), address_(address) {
  text_ << text << more << tail;
}

__attribute__((noinline)) void raise_failure(Kind kind, std::string_view text,
                                             std::string_view more, std::string_view tail) {
  throw Failure(kind, __builtin_return_address(0), text, more, tail);
}

__attribute__((noinline)) void raise_list_index_error(std::int64_t index) {
  FixedText<24> digits;
  digits.decimal(index);
  throw Failure(Kind::EStringListError, __builtin_return_address(0), "List index out of bounds (", digits.view(), ")");
}

}  // namespace tarnwick

#include "console/output_sink.h"

namespace tarnwick {
namespace {

class StandardOutput : public OutputSink {
 public:
  platform::FileType type() override {
    handle_ = platform::standard_output();
    if (handle_ == platform::kInvalidHandle) return platform::FileType::kUnknown;
    const platform::FileType type = platform::file_type(handle_);
    if (type == platform::FileType::kUnknown) platform::close(handle_);
    return type;
  }

  platform::ErrorCode write(std::string_view bytes) override {
    return platform::write_output(handle_, bytes) ? 0 : platform::last_error();
  }

 private:
  platform::Handle handle_ = platform::kInvalidHandle;
};

StandardOutput g_standard_output;

}  // namespace

OutputSink& standard_output_sink() { return g_standard_output; }

}  // namespace tarnwick

#include "platform/seam.h"

namespace tarnwick::platform {
namespace {

Seam* g_seam = nullptr;

ErrorCode ask_seam(Call call) { return g_seam->fail(call); }

}  // namespace

void install_seam(Seam* seam) {
  g_seam = seam;
  g_failure_hook = seam == nullptr ? nullptr : &ask_seam;
}

}  // namespace tarnwick::platform

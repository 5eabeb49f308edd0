#include "base/error_text.h"

#include <cstring>

const char* errorText(int err) {
  const char* s = strerrordesc_np(err);
  return s != nullptr ? s : "Unknown error";
}

const char* signalText(int sig) {
  const char* s = sigdescr_np(sig);
  return s != nullptr ? s : "Unknown signal";
}

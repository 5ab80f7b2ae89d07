#include "engine/observer.h"

namespace qorda::engine {

void ConsoleObserver::screen_line(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

}  // namespace qorda::engine

#include "format.hpp"

namespace core_engine::format {

std::string_view to_string(SampleFormat format) {
  switch (format) {
    case SampleFormat::F32:
      return "F32";
    case SampleFormat::I16:
      return "I16";
  }
  return "F32";
}

}  // namespace core_engine::format

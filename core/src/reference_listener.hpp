#pragma once
// The events of the reference parser (Boost.JSON's), which words syntax errors
// and which the fuzz harness holds the reader against: it only listens.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include <boost/json/basic_parser.hpp>

namespace quorvex_bo::json {

struct Listener {
  static constexpr std::size_t max_object_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_array_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_key_size = std::numeric_limits<std::size_t>::max();
  static constexpr std::size_t max_string_size = std::numeric_limits<std::size_t>::max();

  bool on_document_begin(boost::system::error_code&) { return true; }
  bool on_document_end(boost::system::error_code&) { return true; }
  bool on_array_begin(boost::system::error_code&) { return true; }
  bool on_array_end(std::size_t, boost::system::error_code&) { return true; }
  bool on_object_begin(boost::system::error_code&) { return true; }
  bool on_object_end(std::size_t, boost::system::error_code&) { return true; }
  bool on_string_part(std::string_view, std::size_t, boost::system::error_code&) { return true; }
  bool on_string(std::string_view, std::size_t, boost::system::error_code&) { return true; }
  bool on_key_part(std::string_view, std::size_t, boost::system::error_code&) { return true; }
  bool on_key(std::string_view, std::size_t, boost::system::error_code&) { return true; }
  bool on_number_part(std::string_view, boost::system::error_code&) { return true; }
  bool on_int64(std::int64_t, std::string_view, boost::system::error_code&) { return true; }
  bool on_uint64(std::uint64_t, std::string_view, boost::system::error_code&) { return true; }
  bool on_double(double, std::string_view, boost::system::error_code&) { return true; }
  bool on_bool(bool, boost::system::error_code&) { return true; }
  bool on_null(boost::system::error_code&) { return true; }
  bool on_comment_part(std::string_view, boost::system::error_code&) { return true; }
  bool on_comment(std::string_view, boost::system::error_code&) { return true; }
};

}  // namespace quorvex_bo::json

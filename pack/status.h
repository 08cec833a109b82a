#ifndef PACK_STATUS_H_
#define PACK_STATUS_H_

#include <string>
#include <utility>

/// Exit statuses of sfx_pack.
constexpr int EXIT_PACK_OK = 0;
constexpr int EXIT_PACK_INPUT_FAULT = 1;  ///< A fault in an input file, or an I/O failure.
constexpr int EXIT_PACK_USAGE = 2;        ///< A wrong command line.

/// The outcome of an sfx_pack operation: success, or the exit status and the one message that
/// the command prints as "sfx_pack: error: MESSAGE". Operations return their message instead of
/// printing it, so that it is printed exactly once, by the command that called them.
class Status {
 public:
  Status() = default;
  static Status ok() { return Status(); }
  static Status input_fault(std::string message) {
    return Status(EXIT_PACK_INPUT_FAULT, std::move(message));
  }
  static Status usage(std::string message) { return Status(EXIT_PACK_USAGE, std::move(message)); }
  /// A failure with a command's own exit status (above EXIT_PACK_USAGE).
  static Status failure(int exit_status, std::string message) {
    return Status(exit_status, std::move(message));
  }

  bool is_ok() const { return exit_status_ == EXIT_PACK_OK; }
  int exit_status() const { return exit_status_; }
  const std::string& message() const { return message_; }

 private:
  Status(int exit_status, std::string message)
      : exit_status_(exit_status), message_(std::move(message)) {}

  int exit_status_ = EXIT_PACK_OK;
  std::string message_;
};

/// `text` between single quotes for a message, escaped as printable_text does (control
/// characters, C1 controls and bytes that are no UTF-8 as \xNN), so that a hostile name cannot
/// disturb the terminal.
std::string quoted(const std::string& text);

/// `text` with the escapes of quoted(), without the quotes: printable_text.
std::string escaped(const std::string& text);

/// The system's text for an error number.
std::string error_text(int error_number);

#endif  // PACK_STATUS_H_

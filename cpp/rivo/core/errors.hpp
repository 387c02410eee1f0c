// The tool runner's own failures. Each is a std::exception with a
// registered translation in the binding (bind_errors.cpp), so a missed catch
// still reaches Python as the right exception. None derives from the common
// error types: the translations of those, registered by every module, never
// take these for theirs.
#pragma once

#include <exception>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace tavro::rivo {

// A name the runner would make a file of that cannot be one (ValueError):
// `subject` says whose name it is ("tool name", "output slot name"), `rule`
// what it must be.
class BadName : public std::invalid_argument {
 public:
  BadName(std::string subject_, std::string name_, std::string rule_)
      : std::invalid_argument("invalid " + subject_ + ": " + rule_),
        subject(std::move(subject_)),
        name(std::move(name_)),
        rule(std::move(rule_)) {}
  std::string subject, name, rule;
};

// An input that is a device, socket or FIFO (ValueError): it would be read
// forever or block, so the run refuses it before anything is copied.
class Unstageable : public std::invalid_argument {
 public:
  Unstageable(std::string slot_, std::string source_, const char* kind_)
      : std::invalid_argument("input " + slot_ + " cannot be staged: " + source_ + " is " + kind_),
        slot(std::move(slot_)),
        source(std::move(source_)),
        kind(kind_) {}
  std::string slot, source;
  const char* kind;  // "a character device", ...
};

// A `rivo` command that failed or ran out of time (RuntimeError), its text
// naming the command and carrying its exit status and both outputs, or its
// time limit. Copies share one state: a failure that is caught and thrown
// again stays the same failure (and the same Python exception).
class CommandFailed final : public std::runtime_error {
 public:
  explicit CommandFailed(const std::string& text, std::exception_ptr origin = nullptr)
      : std::runtime_error(text), state_(std::make_shared<State>()) {
    state_->text = text;
    state_->origin = std::move(origin);
  }

  // The whole text: the captured outputs in it may hold NUL bytes, where
  // what() would end.
  const std::string& text() const { return state_->text; }

  // What it was raised from, thrown again as it is: the Python exception a
  // replaced _run raised, or the one made for it the first time it reached
  // Python code.
  std::exception_ptr origin() const { return state_->origin; }
  void set_origin(std::exception_ptr p) const { state_->origin = std::move(p); }

  // The failure that was being handled when this one arose (Python's
  // __context__); `suppressed`: raised again as `raise self from None`.
  const CommandFailed* context() const { return state_->context.get(); }
  bool context_suppressed() const { return state_->suppressed; }
  void set_context(const CommandFailed& context, bool suppressed) const {
    state_->context = std::make_shared<CommandFailed>(context);
    state_->suppressed = suppressed;
  }

 private:
  struct State {
    std::string text;
    std::exception_ptr origin;
    std::shared_ptr<const CommandFailed> context;
    bool suppressed = false;
  };
  std::shared_ptr<State> state_;
};

}  // namespace tavro::rivo

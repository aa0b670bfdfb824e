#include "fake_link.h"

#include <deque>
#include <map>

namespace fake {
namespace {

struct MLinkBox {
  int unused;
};
struct MLEnvBox {
  int unused;
};

struct State {
  std::vector<std::string> log;
  std::map<std::string, std::deque<Reply>> scripts;
  std::map<std::string, int> defaults;
  OpenRecord open;
  MLMessageHandlerObject handler = nullptr;
  MLYieldFunctionObject yielder = nullptr;
};

State &state() {
  static State s;
  return s;
}

MLinkBox the_link;
MLEnvBox the_env;

// Logs the call, then answers it from its script or its default.
int answer(const std::string &name, const std::string &entry, int *out = nullptr) {
  State &s = state();
  s.log.push_back(entry);
  Reply reply;
  auto &queue = s.scripts[name];
  if (!queue.empty()) {
    reply = std::move(queue.front());
    queue.pop_front();
  } else {
    auto it = s.defaults.find(name);
    reply.result = it == s.defaults.end() ? 1 : it->second;
  }
  if (reply.before) reply.before();
  if (out != nullptr) *out = reply.value;
  return reply.result;
}

std::string text(const char *s) { return s == nullptr ? "<null>" : s; }

}  // namespace

void reset() {
  State &s = state();
  s = State{};
  s.defaults = {{"MLNextPacket", 0}, {"MLGetInteger", 0}, {"MLTestHead", 0}, {"MLError", MLEOK}};
}

void script(const std::string &call, std::vector<Reply> replies) {
  for (Reply &r : replies) state().scripts[call].push_back(std::move(r));
}

void set_default(const std::string &call, int result) { state().defaults[call] = result; }

const std::vector<std::string> &log() { return state().log; }

std::vector<std::string> log_from(std::size_t from) {
  const auto &l = state().log;
  if (from >= l.size()) return {};
  return {l.begin() + static_cast<std::ptrdiff_t>(from), l.end()};
}

int count(const std::string &prefix) {
  int n = 0;
  for (const auto &line : state().log) n += line.rfind(prefix, 0) == 0 ? 1 : 0;
  return n;
}

MLINK link() { return reinterpret_cast<MLINK>(&the_link); }
MLENV env() { return reinterpret_cast<MLENV>(&the_env); }
const OpenRecord &last_open() { return state().open; }
MLMessageHandlerObject installed_handler() { return state().handler; }
MLYieldFunctionObject installed_yielder() { return state().yielder; }

}  // namespace fake

using fake::answer;
using fake::text;

extern "C" {

MLENV MLInitialize(MLEnvironmentParameter) {
  return answer("MLInitialize", "MLInitialize") ? fake::env() : nullptr;
}

void MLDeinitialize(MLENV env) {
  answer("MLDeinitialize", env == fake::env() ? "MLDeinitialize" : "MLDeinitialize(other)");
}

// A failed open reports its script's value as the error code.
MLINK MLOpenArgcArgv(MLENV env, int argc, char **argv, int *error) {
  auto &open = fake::state().open;
  open.argc = argc;
  open.argv = argv;
  open.args.clear();
  for (int i = 0; i < argc; ++i) open.args.push_back(text(argv[i]));
  int code = MLEOK;
  const int ok = answer("MLOpenArgcArgv",
                        "MLOpenArgcArgv(" + std::string(env == fake::env() ? "" : "other env, ") +
                            std::to_string(argc) + ")",
                        &code);
  *error = ok ? MLEOK : code;
  return ok ? fake::link() : nullptr;
}

MLINK MLOpenString(MLENV env, const char *commandline, int *error) {
  (void)env;
  int code = MLEOK;
  const int ok = answer("MLOpenString", "MLOpenString(" + text(commandline) + ")", &code);
  *error = ok ? MLEOK : code;
  return ok ? fake::link() : nullptr;
}

int MLConnect(MLINK) { return answer("MLConnect", "MLConnect"); }
void MLClose(MLINK) { answer("MLClose", "MLClose"); }

const char *MLErrorString(MLENV, int error) {
  static std::string last;
  last = "error text " + std::to_string(error);
  answer("MLErrorString", "MLErrorString(" + std::to_string(error) + ")");
  return last.c_str();
}

int MLAlert(MLENV, const char *message) {
  return answer("MLAlert", "MLAlert(" + text(message) + ")");
}
int MLError(MLINK) { return answer("MLError", "MLError"); }
int MLClearError(MLINK) { return answer("MLClearError", "MLClearError"); }

int MLSetMessageHandler(MLINK, MLMessageHandlerObject handler) {
  fake::state().handler = handler;
  return answer("MLSetMessageHandler", "MLSetMessageHandler");
}

int MLSetYieldFunction(MLINK, MLYieldFunctionObject yielder) {
  fake::state().yielder = yielder;
  return answer("MLSetYieldFunction", "MLSetYieldFunction");
}

int MLWaitForLinkActivity(MLINK) {
  return answer("MLWaitForLinkActivity", "MLWaitForLinkActivity");
}
int MLNextPacket(MLINK) { return answer("MLNextPacket", "MLNextPacket"); }
int MLNewPacket(MLINK) { return answer("MLNewPacket", "MLNewPacket"); }

int MLGetInteger(MLINK, int *value) {
  int v = 0;
  const int ok = answer("MLGetInteger", "MLGetInteger", &v);
  if (ok) *value = v;
  return ok;
}

int MLTestHead(MLINK, const char *head, int *count) {
  int n = 0;
  const int ok = answer("MLTestHead", "MLTestHead(" + text(head) + ")", &n);
  if (ok) *count = n;
  return ok;
}

int MLPutFunction(MLINK, const char *head, int count) {
  return answer("MLPutFunction", "MLPutFunction(" + text(head) + "," + std::to_string(count) + ")");
}
int MLPutSymbol(MLINK, const char *name) {
  return answer("MLPutSymbol", "MLPutSymbol(" + text(name) + ")");
}
int MLPutString(MLINK, const char *s) {
  return answer("MLPutString", "MLPutString(" + text(s) + ")");
}
int MLPutInteger(MLINK, int value) {
  return answer("MLPutInteger", "MLPutInteger(" + std::to_string(value) + ")");
}
int MLEndPacket(MLINK) { return answer("MLEndPacket", "MLEndPacket"); }
int MLFlush(MLINK) { return answer("MLFlush", "MLFlush"); }

int MLTransferExpression(MLINK destination, MLINK source) {
  return answer("MLTransferExpression", destination == source ? "MLTransferExpression(same)"
                                                              : "MLTransferExpression(other)");
}

}  // extern "C"

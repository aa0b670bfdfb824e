#include "capture.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace adckit::test {

namespace {

std::string slurp(std::FILE *f) {
  std::string text;
  std::rewind(f);
  for (int c = std::fgetc(f); c != EOF; c = std::fgetc(f)) text += static_cast<char>(c);
  return text;
}

}  // namespace

Captured capture(const std::function<void()> &body) {
  std::FILE *out = std::tmpfile();
  std::FILE *err = std::tmpfile();
  if (out == nullptr || err == nullptr) {
    ADD_FAILURE() << "no temporary file for the captured streams";
    if (out != nullptr) (void)std::fclose(out);
    if (err != nullptr) (void)std::fclose(err);
    return {};
  }
  (void)std::fflush(stdout);
  (void)std::fflush(stderr);
  const int saved_out = ::dup(1), saved_err = ::dup(2);
  EXPECT_EQ(::dup2(fileno(out), 1), 1);
  EXPECT_EQ(::dup2(fileno(err), 2), 2);
  body();
  const int body_errno = errno;  // what the caller would see afterwards
  (void)std::fflush(stdout);
  (void)std::fflush(stderr);
  EXPECT_EQ(::dup2(saved_out, 1), 1);
  EXPECT_EQ(::dup2(saved_err, 2), 2);
  ::close(saved_out);
  ::close(saved_err);
  Captured captured{slurp(out), slurp(err)};
  (void)std::fclose(out);
  (void)std::fclose(err);
  errno = body_errno;
  return captured;
}

}  // namespace adckit::test

#!/bin/sh
# gtest_cases.sh "Suite.Case;Suite.Case..." COMMAND...
# Fails unless COMMAND --gtest_list_tests lists exactly the cases given, so
# a suite run case by case cannot leave one out.
set -eu
expected=$(printf '%s\n' "$1" | tr ';' '\n' | sort)
shift
listed=$("$@" --gtest_list_tests | awk '/^[^ ]/ { suite = $1 } /^  / { print suite $1 }' | sort)
if [ "$listed" != "$expected" ]; then
  echo "the suite's cases:"; echo "$listed"
  echo "the cases run one by one:"; echo "$expected"
  exit 1
fi

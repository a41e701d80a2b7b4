#!/usr/bin/env bash
# Prints which Windows build the tests run under Wine on this host: 32 when
# it executes 32-bit programs (Wine's 32-bit loader is one), else 64. Some
# hosts run 64-bit user code only; there the tests run the same sources built
# for 64-bit Windows on Wine's 64-bit loader, and the shipped 32-bit program
# is examined (e2e.binary) but not run.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then echo 32; else echo 64; fi

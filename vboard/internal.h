#pragma once
// What the parts of the virtual board share and callers must not see, one
// header per concern: device.h (files, device handlers and their parts of
// the board object), layout.h (the shared board object's header and
// records), board.h (the lock, first use, the board's own
// descriptors), config.h (reading variables), services.h (faults, trace,
// the chip's and the inputs' slices, the strict profile), gpio_sides.h
// (the two GPIO interfaces and their slices),
// real.h (the real libc calls), routing.h (directories, waiting and
// descriptor routing).
//
// Where things live:
//   interpose.cpp   the libc entry points; interposed.def lists every
//                   name once, interposed.h declares them and the real
//                   calls behind them (real_of) from it
//   descriptors.cpp virtual descriptors: paths to devices, open files,
//                   stdio over them, descriptors inherited through exec
//   state.cpp       the board lock, the board's first use, power-off
//   parts.cpp       the devices' parts of the board object: their hooks,
//                   run in order, and their slices, laid out and
//                   fingerprinted
//   config.cpp      one reader of VBOARD_* variables for every part
//   inputs.cpp      the chip's analogue inputs and waveforms
//   directories.cpp directory streams, symbolic links and realpath over the
//                   virtual tree
//   wait.cpp        poll, select and epoll on virtual descriptors
//   faults.cpp      faults on paths (open fails, node missing)
//   trace.cpp       the trace of accesses
//   capture.cpp     the lines as a Value Change Dump (capture.h)
//   strict.cpp      the strict profile: the target's limits, told as notes
//   show.cpp        the board described as `vboard show` prints it
//   gpio.cpp, spidev.cpp  the device handlers; chip.cpp the MCP3008
//   adc.cpp         the MCP3008 on the pins: wiring, DOUT idle, control calls
//   gpiochip.cpp    the GPIO character device beside the sysfs tree
//
// Each kind of virtual file lives in a device handler: a path prefix with
// open and stat routines and configure/reset hooks. A handler registers
// itself from a static initialiser:
//
//   namespace {
//   const bool registered = vboard::add_provider({"/dev/spidev", open_fn, stat_fn, ...});
//   }
//
// A device that keeps state in the shared board object also registers a
// part (device.h): the slice of the object it keeps, its power-on, its
// damage check and its `vboard show` lines, from a constructor that runs
// before the board's first use.
//
// Handler registration may come before or after the board's first use; a late
// handler is configured when it registers and still gets the descriptors
// the process inherited through exec (a board descriptor that exec or a
// spawn carries is given a memfd named after its file just before, so a
// new program image can recognise it).
//
// Locking, the one rule: every piece of board state, in this process or
// shared with others, is touched only while holding the board lock
// (board_lock below: this process's lock word, then the shared board's own
// lock, always in that order). The core takes it around every call into a
// handler or a file and every control call takes it, so handlers and files
// never lock anything themselves. Inside, do no I/O that may wait (trace
// lines and the modelled access time are left for after the lock, see
// after_access), never sleep, and never call the interposed libc routines
// (open, read, write, fopen ...): use the real_* entry points. A holder
// that stops or dies loses the shared lock (state.cpp), so a long wait
// inside would lose it too. The only other lock is a file lock held while
// a process attaches the board object, so that one process creates and
// checks it while the others wait. Routines marked "lock held" must only
// be called from inside it.
//
// Results inside the board follow the kernel's convention: >= 0 for success,
// -errno for failure; the core turns them into -1 and errno for the caller.
#include "device.h"
#include "layout.h"
#include "board.h"
#include "config.h"
#include "services.h"
#include "gpio_sides.h"
#include "real.h"
#include "routing.h"

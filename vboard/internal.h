#pragma once
// What the parts of the virtual board share and callers must not see; the
// board's files include this one header, which includes the rest (chip.cpp
// and time64.cpp, which stand apart, include only their own).
//
// Where things live, and the header that declares what they offer:
//   interpose.cpp   the libc entry points; interposed.def lists every
//                   name once, interposed.h declares them and the real
//                   calls behind them (real_of); real.h the real calls the
//                   board makes itself
//   descriptors.cpp virtual descriptors: paths to devices, open files,
//                   stdio over them, descriptors inherited through exec
//                   (routing.h, descriptor_checks.h; paths.h; file.h and
//                   device.h: open files and handlers)
//   state.cpp       the board lock, the board's first use, power-off
//                   (board.h; layout.h the object's header; kept_fds.h)
//   parts.cpp       the devices' parts of the board object: their hooks,
//                   run in order, and their slices (part.h)
//   config.cpp      one reader of VBOARD_* variables for every part (config.h)
//   directories.cpp directory streams, links and realpath (paths.h)
//   wait.cpp        poll, select and epoll on virtual descriptors (waiting.h)
//   faults.cpp      faults on paths (faults.h)
//   trace.cpp       the trace of accesses; timing.cpp its cost (trace.h)
//   capture.cpp     the lines as a Value Change Dump (capture.h)
//   strict.cpp      the strict profile: the target's limits (strict.h)
//   show.cpp        the board described as `vboard show` prints it (part.h)
//   gpio.cpp        the sysfs GPIO tree; gpiochip.cpp the GPIO character
//                   device beside it (gpio_sides.h, gpio_records.h)
//   spidev.cpp      the spidev devices (spidev.h, their control calls)
//   chip.cpp        the MCP3008 at its four lines (chip.h; its lines and
//                   where a frame stands, chip_lines.h; the limits of its
//                   clock, chip_timing.h)
//   adc.cpp         the MCP3008 on the pins: wiring, DOUT idle (adc.h)
//   inputs.cpp      the chip's analogue inputs and waveforms (inputs.h)
// vboard.h, with vboard_inputs.h, vboard_faults.h and vboard_trace.h, is
// the control interface programs include, installed with the library.
//
// Each kind of virtual file lives in a device handler: a path prefix with
// open and stat routines and configure/reset hooks. The board's devices
// register their handlers, like their parts (part.h), from a constructor
// that runs before the board's first use, whatever order the files are
// linked or grouped in:
//
//   [[gnu::constructor(vboard::kRegisterPriority)]] void add_my_handler() {
//     vboard::add_provider({"/dev/spidev", open_fn, stat_fn, ...});
//   }
//
// A handler may also register later (a static initialiser of a program's
// own device); it is then configured when it registers and still gets the
// descriptors the process inherited through exec (a board descriptor that
// exec or a spawn carries is given a memfd named after its file just
// before, so a new program image can recognise it). A descriptor a
// device's request handed out is taken up by the device's adopter at the
// first use, so an adopter registers before it.
//
// Locking, the one rule: every piece of board state, in this process or
// shared with others, is touched only while holding the board lock
// (board_lock, board.h: this process's lock word, then the shared board's own
// lock, always in that order). The core takes it around every call into a
// handler or a file and every control call takes it, so handlers and files
// never lock anything themselves. Inside, do no I/O that may wait (trace
// lines and the modelled access time are left for after the lock, see
// after_access in trace.h), never sleep, and never call the interposed libc routines
// (open, read, write, fopen ...): use the real_* entry points. A holder
// that stops or dies loses the shared lock (state.cpp), so a long wait
// inside would lose it too. The only other lock is a file lock held while
// a process attaches the board object, so that one process creates and
// checks it while the others wait. Routines marked "lock held" must only
// be called from inside it.
//
// Results inside the board follow the kernel's convention: >= 0 for success,
// -errno for failure; the core turns them into -1 and errno for the caller.
#include "board.h"
#include "kept_fds.h"
#include "layout.h"
#include "part.h"
#include "device.h"
#include "routing.h"
#include "paths.h"
#include "waiting.h"
#include "config.h"
#include "faults.h"
#include "trace.h"
#include "strict.h"
#include "adc.h"
#include "inputs.h"
#include "gpio_sides.h"
#include "capture.h"
#include "real.h"
#include "vboard.h"

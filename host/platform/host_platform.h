// What semhost needs of the operating system, in one place: loading a
// library, holding a key for real, reading memory without faults, catching
// interrupts and aborts, and naming a module's faults.
// host_platform_windows.cpp and host_platform_posix.cpp implement it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace host_platform {

// Called before anything else (more calls do nothing): keeps the system
// from showing dialogs for load errors or crashes, so that semhost never
// waits for a person.
void Prepare();

// Loads a library file into the process. On failure returns null and sets
// `problem` to one line saying why (without the file's name); `faulted`
// says whether the library's own initialisation crashed (a system loader
// that catches the crash fails the load instead of ending the process).
void* OpenLibrary(const std::string& path, std::string& problem, bool& faulted);
// The address of an exported function, or null when the library lacks it.
void* FindExport(void* library, const char* name);
void CloseLibrary(void* library);

// Holds a key down or lets it go, as a person at the keyboard would: the
// module's own key-state query then reports it. Windows: SendInput.
// Natively: the key state that semhost exports to the module. Returns false
// when the system did not take the key.
bool SetKeyHeld(int virtual_key, bool held);
// Lets go of every key that SetKeyHeld holds; safe at any time.
void ReleaseHeldKeys();
// The 16-bit asynchronous state of a key as SetKeyHeld left it: top bit
// while held, lowest bit when pressed since the previous query (which this
// query clears). An emulated module's GetAsyncKeyState reads it.
std::int16_t QueryKeyState(int virtual_key);
// The key state SetKeyHeld keeps, as one record: bit k%8 of byte k/8 for
// key k. It travels with each message between semhost and the process that
// holds an isolated module, so that whichever of them runs reads and clears
// the same state, and a key query costs no message of its own.
struct KeyStateRecord {
    std::uint8_t held[32];
    std::uint8_t pressed_since_query[32];
};
// Linux: copies the key state out or replaces it. Windows: the system keeps
// the key state for every process, so the record is all zero and replacing
// it does nothing.
void SaveKeyState(KeyStateRecord& record);
void LoadKeyState(const KeyStateRecord& record);

// Catches an interrupt from now on, until ReleaseInterrupts: SIGINT and
// SIGTERM (Windows: Ctrl-C and Ctrl-Break, as SIGINT). The process goes on;
// InterruptSignal then names the first one caught, so that a command can
// end its session as a host would.
void CatchInterrupts();
void ReleaseInterrupts();
// Catches interrupts for as long as it lives: a command that ends its
// session as a host would holds one around the session.
class InterruptCatch {
public:
    InterruptCatch() { CatchInterrupts(); }
    ~InterruptCatch() { ReleaseInterrupts(); }
    InterruptCatch(const InterruptCatch&) = delete;
    InterruptCatch& operator=(const InterruptCatch&) = delete;
};
// The signal number of the first interrupt caught since CatchInterrupts
// (2 for SIGINT, 15 for SIGTERM), or 0.
int InterruptSignal();
// Sleeps for `milliseconds`, or less when an interrupt is caught meanwhile.
void SleepUnlessInterrupted(std::uint32_t milliseconds);

// Runs `body(context)` and answers true; when code inside it aborts the
// process instead (SIGABRT, as abort() raises it on every system), `body`
// ends there and the answer is false, the process going on. For a library
// that aborts where it should report, such as the CPU emulator's translator
// on an encoding it does not handle. `body` must hold nothing that needs
// its destructor run. Nests: an abort ends the innermost run.
bool RunCatchingAbort(void (*body)(void*), void* context);

// Linux: a fault signal's name and what it means, "SIGSEGV (invalid memory
// access)", as fault texts give it.
std::string SignalText(int signal_number);

// Windows: an exception code's name, the code and what it means,
// "access violation (0xC0000005, invalid memory access)", as fault texts
// give it.
std::string ExceptionText(std::uint32_t code);

// Copies between this process's memory and a native module's, without a
// fault: false, and nothing copied, where any byte of `address .. +size` is
// not readable (or writable). Pointers a module hands over are checked so.
bool ReadProcessBytes(std::uintptr_t address, void* destination, std::size_t size);
bool WriteProcessBytes(std::uintptr_t address, const void* source, std::size_t size);

// Counts a loaded native library's heap calls from now on: its imports of
// the heap's functions (malloc, free and their kin, operator new and
// delete) are pointed at stand-ins that count each call and pass it on to
// the function the import held. Calls the heap's own code makes inside
// another function the library imports are not seen. False, with a line
// saying why, where nothing could be redirected.
bool CountHeapCalls(void* library, std::string& problem);
// The heap calls counted since CountHeapCalls: an allocation or a free
// counts one, a resize both.
std::uint64_t HeapCallsCounted();

// Whether standard error is a terminal a person watches (and not a pipe or
// a file), for output meant only for a person, such as a progress bar.
bool StandardErrorIsTerminal();
// An environment variable's value; "" when it is unset.
std::string EnvironmentValue(const char* name);
// The machine's network name, for reports that say where they were made;
// "" when the system does not tell it.
std::string HostName();

}  // namespace host_platform

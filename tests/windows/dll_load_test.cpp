// The built qvRadClient.dll as a host uses it: LoadLibrary, GetProcAddress of every exported name,
// its version resource, a whole exchange with a loopback peer through auth and through qvrad.h,
// threads of the host's own making, unload and load again; on x86 the call made as another
// compiler's host makes it; and the attach result's effect.
#include <gtest/gtest.h>

#include <malloc.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "qvRadClient.h"
#include "qvrad.h"
#include "support/radius_wire.h"
#include "support/responder.h"
#include "windows/handle_use.h"

#if defined(__i386__)
// The call as a 32-bit host built by another compiler makes it: the six pointers pushed right
// to left from a stack aligned to 4 bytes only (misalign 0, 4, 8 or 12 below a 16-byte
// boundary), known values in EBX, ESI and EDI, and what the call left behind written to *seen.
// cdecl: the caller removes the 24 bytes of arguments, so ESP after the call is ESP after the
// pushes; EBX, ESI, EDI and EBP (this frame, which a clobbering callee would crash) survive.
struct RawCall {
    std::uint32_t espPushed, espAfter, ebx, esi, edi;
};
extern "C" const char* qvrad_call_cdecl6(decltype(&auth) fn, const char* const* args,
                                         std::uint32_t misalign, RawCall* seen);
__asm__(
    ".text\n"
    ".globl _qvrad_call_cdecl6\n"
    "_qvrad_call_cdecl6:\n"
    "  pushl %ebp\n  movl %esp, %ebp\n  pushl %ebx\n  pushl %esi\n  pushl %edi\n"
    "  movl 8(%ebp), %eax\n  movl 12(%ebp), %ecx\n  movl 16(%ebp), %edx\n"
    "  andl $-16, %esp\n  subl %edx, %esp\n"
    "  pushl 20(%ecx)\n  pushl 16(%ecx)\n  pushl 12(%ecx)\n"
    "  pushl 8(%ecx)\n  pushl 4(%ecx)\n  pushl 0(%ecx)\n"
    "  movl 20(%ebp), %ecx\n  movl %esp, 0(%ecx)\n"
    "  movl $0x0B0B0B0B, %ebx\n  movl $0x05E5E5E5, %esi\n  movl $0x0D1D1D1D, %edi\n"
    "  call *%eax\n"
    "  movl 20(%ebp), %ecx\n  movl %esp, 4(%ecx)\n"
    "  movl %ebx, 8(%ecx)\n  movl %esi, 12(%ecx)\n  movl %edi, 16(%ecx)\n"
    "  leal -12(%ebp), %esp\n  popl %edi\n  popl %esi\n  popl %ebx\n  popl %ebp\n  ret\n");
#endif

namespace {

using AuthFunction = decltype(&auth);
using InfoFunction = decltype(&info);
using ProbeFunction = int (*)();

constexpr char kBanner[] = "Quorvel SDK for Win32 ver 1.1.0.2";
constexpr char kNetworkFail[] = "6040#0#ERR_NETWORK_FAIL";
constexpr char kInvalidInput[] = "6007#0#INVALID_INPUT_ERR";

// The DLLs under test are copied beside this program when it is built.
std::wstring BesideThisProgram(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return name;
    std::wstring full(path, n);
    const std::size_t slash = full.find_last_of(L"\\/");
    return full.substr(0, slash + 1) + name;
}

// Loads by full path only, so a qvRadClient.dll elsewhere on the search path is never used.
HMODULE LoadBeside(const wchar_t* name) {
    return LoadLibraryExW(BesideThisProgram(name).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

template <typename F>
F Find(HMODULE module, const char* name) {
    // GetProcAddress returns a generic function pointer; the cast names its real type.
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

struct Library {
    HMODULE module = LoadBeside(L"qvRadClient.dll");
    AuthFunction authCall = module ? Find<AuthFunction>(module, "auth") : nullptr;
    InfoFunction infoCall = module ? Find<InfoFunction>(module, "info") : nullptr;
    ~Library() {
        if (module != nullptr) FreeLibrary(module);
    }
};

// qvrad.h's functions by their plain names, each typed by its declaration in the header.
#define QVRAD_FIND(name) \
    decltype(&::name) name = module ? Find<decltype(&::name)>(module, #name) : nullptr
struct Structured : Library {
    QVRAD_FIND(qvrad_client_new);
    QVRAD_FIND(qvrad_client_add_server);
    QVRAD_FIND(qvrad_client_set_int);
    QVRAD_FIND(qvrad_client_set_text);
    QVRAD_FIND(qvrad_client_free);
    QVRAD_FIND(qvrad_login_pap);
    QVRAD_FIND(qvrad_login_answer);
    QVRAD_FIND(qvrad_login_code);
    QVRAD_FIND(qvrad_login_message_count);
    QVRAD_FIND(qvrad_login_message);
    QVRAD_FIND(qvrad_login_attribute_count);
    QVRAD_FIND(qvrad_login_attribute);
    QVRAD_FIND(qvrad_login_prompt_echo);
    QVRAD_FIND(qvrad_login_free);
    QVRAD_FIND(qvrad_strerror);
    QVRAD_FIND(qvrad_error_detail);
    QVRAD_FIND(qvrad_attrs_new);
    QVRAD_FIND(qvrad_attrs_add_text);
    QVRAD_FIND(qvrad_attrs_add_int);
    QVRAD_FIND(qvrad_attrs_add_ipv4);
    QVRAD_FIND(qvrad_attrs_add_ipv6);
    QVRAD_FIND(qvrad_attrs_add_octets);
    QVRAD_FIND(qvrad_attrs_add_vendor);
    QVRAD_FIND(qvrad_attrs_free);
    QVRAD_FIND(qvrad_login_pap_attrs);
    QVRAD_FIND(qvrad_client_set_acct_port);
    QVRAD_FIND(qvrad_acct_send);
    QVRAD_FIND(qvrad_acct_flush);
    bool AllFound() const {
        return qvrad_client_new && qvrad_client_add_server && qvrad_client_set_int &&
               qvrad_client_set_text && qvrad_client_free && qvrad_login_pap &&
               qvrad_login_answer && qvrad_login_code && qvrad_login_message_count &&
               qvrad_login_message && qvrad_login_attribute_count && qvrad_login_attribute &&
               qvrad_login_prompt_echo && qvrad_login_free && qvrad_strerror &&
               qvrad_error_detail && qvrad_attrs_new && qvrad_attrs_add_text &&
               qvrad_attrs_add_int && qvrad_attrs_add_ipv4 && qvrad_attrs_add_ipv6 &&
               qvrad_attrs_add_octets && qvrad_attrs_add_vendor && qvrad_attrs_free &&
               qvrad_login_pap_attrs && qvrad_client_set_acct_port && qvrad_acct_send &&
               qvrad_acct_flush;
    }
};
#undef QVRAD_FIND

LoopbackResponder::Script AcceptWith(const std::string& secret, const std::string& message) {
    const Bytes key = ToBytes(secret);
    const Bytes attributes = EncodeAttributes({{18, ToBytes(message)}});  // Reply-Message
    return [key, attributes](const Bytes& request) -> std::vector<Datagram> {
        if (request.size() < 20) return {};
        return {{SignedReplyWithMessageAuthenticator(request, key, 2, attributes), 0}};
    };
}

TEST(WindowsDll, LoadsAndResolvesOnlyThePlainNames) {
    Library lib;
    ASSERT_NE(lib.module, nullptr) << "LoadLibrary failed: " << GetLastError();
    ASSERT_NE(lib.authCall, nullptr);
    ASSERT_NE(lib.infoCall, nullptr);
    EXPECT_TRUE(Structured().AllFound());
    for (const char* decorated : {"_auth", "auth@24", "_info", "_qvrad_login_pap",
                                  "qvrad_login_pap@16", "_qvrad_client_set_int", "DllMain",
                                  "DllMain@12", "DllMainCRTStartup", "ModuleProcessAttach"}) {
        EXPECT_EQ(GetProcAddress(lib.module, decorated), nullptr) << decorated;
    }
    EXPECT_STREQ(lib.infoCall(), kBanner);
    EXPECT_EQ(lib.infoCall(), lib.infoCall());
}

// The version resource as Windows' file properties and installers read it, from the file.
TEST(WindowsDll, VersionResourceReadsAsReleased) {
    const std::wstring path = BesideThisProgram(L"qvRadClient.dll");
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << GetLastError();
    std::vector<unsigned char> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_GE(length, sizeof(VS_FIXEDFILEINFO));
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    for (DWORD part : {fixed->dwFileVersionMS, fixed->dwProductVersionMS})
        EXPECT_EQ(part, 0x10001u);
    for (DWORD part : {fixed->dwFileVersionLS, fixed->dwProductVersionLS}) EXPECT_EQ(part, 0x1u);
    // The texts under the one translation the resource names (U.S. English, Unicode).
    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0409);
    EXPECT_EQ(translation[1], 1200);
    const std::pair<const wchar_t*, const wchar_t*> texts[] = {
        {L"FileDescription", L"Quorvel SDK for Win32"},
        {L"ProductName", L"Quorvel SDK for Win32"},
        {L"InternalName", L"qvRadClient.dll"},
        {L"FileVersion", L"1.0.0.2"},
        {L"ProductVersion", L"1.1.0.1"}};
    for (const auto& [name, want] : texts) {
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
        wchar_t* got = nullptr;
        ASSERT_TRUE(
            VerQueryValueW(block.data(), key.c_str(), reinterpret_cast<void**>(&got), &length))
            << name;
        EXPECT_EQ(std::wstring(got), want) << name;
    }
}

TEST(WindowsDll, ExchangesWithALoopbackPeerFromAnyThread) {
    Library lib;
    ASSERT_NE(lib.authCall, nullptr);
    LoopbackResponder peer(AcceptWith("s3cret", "Welcome, alice"));
    const std::string port = peer.PortText();

    EXPECT_STREQ(lib.authCall("127.0.0.1", port.c_str(), "s3cret", "alice", "pw", "3"),
                 "Welcome, alice");
    // A thread made after the load: thread attach runs none of the library's code, and the
    // socket layer started at process attach serves it too.
    std::string fromThread;
    std::thread worker([&] {
        fromThread = lib.authCall("127.0.0.1", port.c_str(), "s3cret", "alice", "pw", "3");
    });
    worker.join();
    EXPECT_EQ(fromThread, "Welcome, alice");
    EXPECT_EQ(peer.ReceivedCount(), 2u);
    EXPECT_STREQ(lib.authCall(nullptr, port.c_str(), "s", "u", "p", "3"), kInvalidInput);
}

// A whole login through qvrad.h's functions as GetProcAddress gives them: the 64-bit option value
// crosses whole (on x86, two stack slots: a value over 2^32 that would pass as 5000 if its high
// half were lost is refused), handles are the DLL's to free, NULL frees nothing.
TEST(WindowsDll, StructuredLoginThroughThePlainNames) {
    Structured lib;
    ASSERT_TRUE(lib.AllFound());
    LoopbackResponder peer(AcceptWith("s3cret", "Welcome, alice"));
    qvrad_client* client = nullptr;
    ASSERT_EQ(lib.qvrad_client_new(&client), QVRAD_OK);
    EXPECT_EQ(lib.qvrad_client_add_server(client, "127.0.0.1", peer.Port(), "s3cret"), QVRAD_OK);
    EXPECT_EQ(
        lib.qvrad_client_set_int(client, QVRAD_OPT_TIMEOUT_MS, (std::int64_t{1} << 32) + 5000),
        QVRAD_E_ARGUMENT);
    EXPECT_EQ(lib.qvrad_client_set_int(client, QVRAD_OPT_TIMEOUT_MS, 3000), QVRAD_OK);
    EXPECT_EQ(lib.qvrad_client_set_text(client, QVRAD_OPT_NAS_IDENTIFIER, "dll-host"), QVRAD_OK);

    qvrad_login* login = nullptr;
    ASSERT_EQ(lib.qvrad_login_pap(client, "alice", "pw", &login), QVRAD_OK);
    EXPECT_EQ(lib.qvrad_login_code(login), QVRAD_CODE_ACCEPT);
    ASSERT_EQ(lib.qvrad_login_message_count(login), 1u);
    EXPECT_STREQ(lib.qvrad_login_message(login, 0), "Welcome, alice");
    EXPECT_EQ(lib.qvrad_login_message(login, 1), nullptr);
    // The reply's Message-Authenticator (RFC 3579 section 3.2), then its Reply-Message (RFC 2865
    // section 5.18), in packet order.
    ASSERT_EQ(lib.qvrad_login_attribute_count(login), 2u);
    std::uint32_t vendor = 99, type = 0;
    const unsigned char* value = nullptr;
    std::size_t length = 0;
    EXPECT_EQ(lib.qvrad_login_attribute(login, 0, &vendor, &type, &value, &length), QVRAD_OK);
    EXPECT_EQ(type, 80u);
    EXPECT_EQ(length, 16u);
    EXPECT_EQ(lib.qvrad_login_attribute(login, 1, &vendor, &type, &value, &length), QVRAD_OK);
    EXPECT_EQ(vendor, 0u);
    EXPECT_EQ(type, 18u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(value), length), "Welcome, alice");
    EXPECT_EQ(lib.qvrad_login_attribute(login, 2, &vendor, &type, &value, &length),
              QVRAD_E_ARGUMENT);
    EXPECT_EQ(lib.qvrad_login_prompt_echo(login), 0);
    EXPECT_EQ(lib.qvrad_login_answer(login, "123456"), QVRAD_E_NOT_CHALLENGED);
    EXPECT_EQ(lib.qvrad_client_set_int(client, QVRAD_OPT_MAX_CHALLENGES, 1), QVRAD_E_BUSY);
    EXPECT_STREQ(lib.qvrad_strerror(QVRAD_E_TIMEOUT), "no verified reply within the timeout");
    lib.qvrad_login_free(login);
    lib.qvrad_client_free(client);
    lib.qvrad_login_free(nullptr);
    lib.qvrad_client_free(nullptr);
    EXPECT_EQ(peer.ReceivedCount(), 1u);
}

#if defined(__i386__)
TEST(WindowsDll, AuthKeepsTheI386CdeclContractFromAnyStackAlignment) {
    Library lib;
    ASSERT_NE(lib.authCall, nullptr);
    LoopbackResponder peer(AcceptWith("s3cret", "Welcome, alice"));
    const std::string port = peer.PortText();
    const char* const exchange[6] = {"127.0.0.1", port.c_str(), "s3cret", "alice", "pw", "3"};
    const char* const refused[6] = {"127.0.0.1", "0", "s3cret", "alice", "pw", "3"};
    for (std::uint32_t misalign = 0; misalign < 16; misalign += 4) {
        for (const char* const* args : {exchange, refused}) {
            RawCall seen{};
            const std::string text = qvrad_call_cdecl6(lib.authCall, args, misalign, &seen);
            EXPECT_EQ(text, args == exchange ? "Welcome, alice" : kInvalidInput) << misalign;
            EXPECT_EQ(seen.espAfter, seen.espPushed) << "misalign " << misalign;
            EXPECT_EQ(seen.ebx, 0x0B0B0B0Bu);
            EXPECT_EQ(seen.esi, 0x05E5E5E5u);
            EXPECT_EQ(seen.edi, 0x0D1D1D1Du);
        }
    }
    EXPECT_EQ(peer.ReceivedCount(), 4u);
}
#endif

// Bytes in use in the C runtime's heap, which the DLL's thread-local storage allocates from.
std::size_t CrtHeapInUse() {
    std::size_t used = 0;
    _HEAPINFO entry;
    entry._pentry = nullptr;
    for (int n = 0; n < 1000000 && _heapwalk(&entry) == _HEAPOK; ++n)
        if (entry._useflag == _USEDENTRY) used += entry._size;
    return used;
}

struct ChurnCall {
    AuthFunction authCall;
    const char* port;
    int index;
    bool right;
    HANDLE called;   // signalled after the call, when not null
    HANDLE release;  // waited for before the thread ends, when not null
};

DWORD WINAPI OneCallThenExit(void* argument) {
    auto* call = static_cast<ChurnCall*>(argument);
    char user[32];
    std::snprintf(user, sizeof user, "churn-%05d", call->index);
    const char* text = call->authCall("127.0.0.1", call->port, "s3cret", user, "pw", "5");
    call->right = text != nullptr && std::strcmp(text, "Welcome") == 0;
    if (call->called != nullptr) SetEvent(call->called);
    if (call->release != nullptr) WaitForSingleObject(call->release, 30000);
    return 0;
}

// Threads made with CreateThread, as a host makes them, each with its own result buffer in the
// DLL's thread-local storage: a finished thread's buffer must be freed with it.
TEST(WindowsDll, ThousandHostThreadsOfOneCallLeaveTheHeapAsItWas) {
    Library lib;
    ASSERT_NE(lib.authCall, nullptr);
    LoopbackResponder peer(AcceptWith("s3cret", "Welcome"));
    peer.StopRecording();
    const std::string port = peer.PortText();
    int wrong = 0;
    // Batches of eight; with hold set, the threads stay alive after their call until the heap
    // has been measured, which shows where their buffers live.
    std::size_t whileHeld = 0;
    auto churn = [&](int count, bool hold) {
        const HANDLE release = hold ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
        for (int done = 0; done < count; done += 8) {
            ChurnCall calls[8];
            HANDLE threads[8], called[8];
            for (int k = 0; k < 8; ++k) {
                called[k] = hold ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
                calls[k] = {lib.authCall, port.c_str(), done + k, false, called[k], release};
                threads[k] = CreateThread(nullptr, 0, OneCallThenExit, &calls[k], 0, nullptr);
                ASSERT_NE(threads[k], nullptr);
            }
            if (hold) {
                WaitForMultipleObjects(8, called, TRUE, 30000);
                whileHeld = CrtHeapInUse();
                SetEvent(release);
            }
            WaitForMultipleObjects(8, threads, TRUE, 30000);
            for (int k = 0; k < 8; ++k) {
                CloseHandle(threads[k]);
                if (called[k] != nullptr) CloseHandle(called[k]);
                if (!calls[k].right) ++wrong;
            }
        }
        if (release != nullptr) CloseHandle(release);
    };
    churn(40, false);  // the runtime's own per-process allocations settle first
    const std::size_t before = CrtHeapInUse();
    const HandleUse handles = HandleUseNow();
    churn(8, true);
    churn(1000, false);
    const std::size_t after = CrtHeapInUse();
    EXPECT_EQ(wrong, 0);
    ExpectNoHandlesLeaked(handles, 1000);
    // Eight living threads hold eight 2048-byte buffers in this heap: the walk sees them...
    EXPECT_GE(whileHeld, before + 8 * 2048);
    // ...and a buffer kept per finished thread would be over 2 MB here.
    EXPECT_LE(after, before + 4096) << "heap grew by " << (after - before);
    std::printf(
        "1,000 host threads of one call: C runtime heap %zu -> %zu bytes (%zu with eight "
        "threads alive)\n",
        before, after, whileHeld);
}

TEST(WindowsDll, CallsLeaveNoHandles) {
    Library lib;
    ASSERT_NE(lib.authCall, nullptr);
    LoopbackResponder peer(AcceptWith("s3cret", "ok"));
    const std::string port = peer.PortText();
    ASSERT_STREQ(lib.authCall("127.0.0.1", port.c_str(), "s3cret", "u", "p", "2"), "ok");
    const HandleUse before = HandleUseNow();
    for (int i = 0; i < 100; ++i) {
        const bool valid = i % 2 == 0;
        ASSERT_STREQ(lib.authCall("127.0.0.1", port.c_str(), valid ? "s3cret" : "", "u", "p", "2"),
                     valid ? "ok" : kInvalidInput);
    }
    ExpectNoHandlesLeaked(before, 100);
}

TEST(WindowsDll, SilentPeerTimesOutWithinTheLimit) {
    Library lib;
    ASSERT_NE(lib.authCall, nullptr);
    LoopbackResponder peer(Silent());
    const auto start = std::chrono::steady_clock::now();
    const std::string text =
        lib.authCall("127.0.0.1", peer.PortText().c_str(), "s3cret", "bob", "pw", "1");
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
    EXPECT_EQ(text, kNetworkFail);
    EXPECT_GE(millis, 900);
    EXPECT_LT(millis, 5000);
    const std::vector<Bytes> got = peer.Received();
    ASSERT_GE(got.size(), 1u);
    EXPECT_EQ(got[0].at(0), 1);  // Access-Request, RFC 2865 section 4.1
}

TEST(WindowsDll, UnloadsAndLoadsAgain) {
    for (int round = 0; round < 3; ++round) {
        Library lib;
        ASSERT_NE(lib.infoCall, nullptr) << "round " << round;
        EXPECT_STREQ(lib.infoCall(), kBanner);
        EXPECT_STREQ(lib.authCall("127.0.0.1", "1812", "", "u", "p", "1"), kInvalidInput);
    }
}

// The probe DLLs carry the real DllMain and platform layer with a hook of their own.
TEST(WindowsDllMain, AttachResultDecidesTheLoad) {
    struct Case {
        const wchar_t* dll;
        bool loads;
    };
    const Case cases[] = {
        {L"qvrad_probe_ok.dll", true},
        {L"qvrad_probe_fail.dll", false},
        {L"qvrad_probe_none.dll", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.dll, c.dll + wcslen(c.dll)));
        SetLastError(0);
        HMODULE module = LoadBeside(c.dll);
        const DWORD error = GetLastError();
        if (!c.loads) {
            EXPECT_EQ(module, nullptr);
            EXPECT_EQ(error, static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
            if (module != nullptr) FreeLibrary(module);
            continue;
        }
        ASSERT_NE(module, nullptr) << "LoadLibrary failed: " << error;
        auto calls = Find<ProbeFunction>(module, "probe_attach_calls");
        ASSERT_NE(calls, nullptr);
        EXPECT_EQ(calls(), 1);
        // Neither a new thread nor a second load of the same module runs the hook again.
        std::thread([] {}).join();
        HMODULE again = LoadBeside(c.dll);
        EXPECT_EQ(again, module);
        EXPECT_EQ(calls(), 1);
        if (again != nullptr) FreeLibrary(again);
        FreeLibrary(module);
    }
}

}  // namespace

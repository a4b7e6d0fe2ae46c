// KtCacheHost.cs - the closest thing to a .NET host the build machine has:
// Mono calls the library through the declarations a Windows host is given
// (examples/dotnet/KtCache.cs), every exported function, and scans
// a cache whose directory and track names are not ASCII. Exit status 0 when
// every check holds; each failure is printed.
using System;
using System.IO;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using Kelvane.KelvaneTunes.OfflineCache;

static class KtCacheHost
{
    static int failures;

    static void Expect<T>(string what, T actual, T expected)
    {
        if (Equals(actual, expected)) return;
        Console.WriteLine("FAILED {0}: got <{1}>, expected <{2}>", what, actual, expected);
        ++failures;
    }

    // A file of at least the scan's minimum size that starts with `header`.
    static void WriteTrack(string dir, string name, string header)
    {
        var bytes = new byte[2048];
        Encoding.ASCII.GetBytes(header).CopyTo(bytes, 0);
        File.WriteAllBytes(Path.Combine(dir, name), bytes);
    }

    static void Identity()
    {
        Expect("version", KtCache.Version, "1.0.0");
        Expect("abi version", KtCache.AbiVersion, 1);
        Expect("self-test", KtCache.SelfTest(), 0);
        Expect("format name", KtCache.FormatName(4), "flac");
        Expect("format name of an unknown code", KtCache.FormatName(99), "invalid");
        Expect("magic", KtCache.AudioFormatOf(Encoding.ASCII.GetBytes("OggS________")), 5);
        Expect("magic of null", KtCache.AudioFormatOf(null), 0);
        Expect("http 204", KtCache.IsHttpSuccess(204), true);
        Expect("http 404", KtCache.IsHttpSuccess(404), false);
        Expect("bytes text", KtCache.FormatBytes(15369751), "14.7 MB");
        Expect("bytes text too long", KtCacheNative.ktcache_format_bytes(
            15369751, new byte[4], (UIntPtr)4), -1);
        Expect("safe file name", KtCache.SafeFilename(
            "https://cdn.example/tracks/Caf%C3%A9%20del%20Mar.m4a?token=1"), "Café del Mar.m4a");
        Expect("safe file name from a UTF-8 URL", KtCache.SafeFilename(
            "https://cdn.example/日本の曲.flac"), "日本の曲.flac");
        // The same bytes as C: a byte outside UTF-8 is "_", not U+FFFD.
        Expect("safe file name of a byte outside UTF-8", KtCache.SafeFilename(
            "https://old.example/music/Caf%E9%20del%20Mar.mp3"), "Caf_ del Mar.mp3");
        Expect("safe file name with an escaped emoji", KtCache.SafeFilename(
            "https://cdn.example/%F0%9F%8E%B5%20Theme.m4a"), "\U0001F3B5 Theme.m4a");
        Expect("safe file name with an emoji", KtCache.SafeFilename(
            "https://cdn.example/\U0001F3B5.ogg"), "\U0001F3B5.ogg");
        KtCacheNative.ktcache_free(IntPtr.Zero);
    }

    [DllImport("libc", EntryPoint = "setlocale")]
    static extern IntPtr SetLocale(int category, string locale);

    const int LcNumeric = 1; // glibc's LC_NUMERIC

    // The Pashto locale's decimal mark is U+066B, two bytes in UTF-8: the
    // longest text then needs 18 bytes with its NUL. The test's set-up makes
    // the locale under LOCPATH.
    static void MultibyteDecimalMark()
    {
        if (SetLocale(LcNumeric, "ps_AF.UTF-8") == IntPtr.Zero) {
            Expect("locale ps_AF.UTF-8 under LOCPATH", "missing", "made");
            return;
        }
        try {
            Expect("bytes text with a two-byte decimal mark", KtCache.FormatBytes(long.MaxValue),
                   "8589934592\u066b00 GB");
        } finally {
            SetLocale(LcNumeric, "C");
        }
    }

    static void LastErrorPerThread()
    {
        string first = null, afterFailure = null;
        var thread = new Thread(() => {
            first = KtCache.LastError;
            KtCacheNative.ktcache_validate_file(null, 0);
            afterFailure = KtCache.LastError;
        });
        thread.Start();
        thread.Join();
        Expect("last error on a fresh thread", first, "");
        Expect("last error after a null path", afterFailure, "empty path");
    }

    static void ScanAndPurge(string cache)
    {
        WriteTrack(cache, "Café del Mar.m4a", "\0\0\0\x18" + "ftypM4A ");
        WriteTrack(cache, "日本の曲.flac", "fLaC");
        WriteTrack(cache, "🎵 Ünïcödé.ogg", "OggS");
        WriteTrack(cache, "página.mp3", "<!DOCTYPE html>");

        string error;
        Expect("validate a UTF-8 path", KtCache.ValidateFile(
            Path.Combine(cache, "日本の曲.flac"), 0, out error), 4);
        Expect("last error after a valid file", error, "");
        Expect("validate a missing file", KtCache.ValidateFile(
            Path.Combine(cache, "absent.ogg"), 0, out error), -1);
        Expect("last error of a missing file", error, "stat failed");

        string report = KtCache.ScanDirJson(cache, true, out error);
        Expect("scan last error", error, "");
        if (report == null) {
            Expect("scan report", "null", "a report");
            return;
        }
        Expect("counts", report.StartsWith("{\"validCount\":3,\"purgedCount\":1,\"totalBytes\":6144,"),
               true);
        foreach (var name in new[] { "Café del Mar.m4a", "日本の曲.flac", "🎵 Ünïcödé.ogg" }) {
            Expect("report lists " + name, report.Contains("{\"name\":\"" + name + "\""), true);
            Expect(name + " kept", File.Exists(Path.Combine(cache, name)), true);
        }
        Expect("broken track purged", File.Exists(Path.Combine(cache, "página.mp3")), false);

        Expect("scan of a null path", KtCache.ScanDirJson(null, false, out error), null);
        Expect("last error of a null path", error, "empty dir_path");
        Expect("scan of a missing directory",
               KtCache.ScanDirJson(Path.Combine(cache, "absent"), false, out error), null);
        Expect("last error of a missing directory", error, "opendir failed");
    }

    static int Main(string[] args)
    {
        if (args.Length != 1) {
            Console.WriteLine("usage: KtCacheHost.exe WORK_DIR");
            return 2;
        }
        string cache = Path.Combine(args[0], "cache été 音楽");
        if (Directory.Exists(cache)) Directory.Delete(cache, true);
        Directory.CreateDirectory(cache);

        Identity();
        MultibyteDecimalMark();
        LastErrorPerThread();
        ScanAndPurge(cache);
        Console.WriteLine(failures == 0 ? "KtCacheHost: every check passed" :
                          "KtCacheHost: " + failures + " checks failed");
        return failures == 0 ? 0 : 1;
    }
}

// KtCache.cs - every function of the offline cache library (ktcache)
// for a .NET host: the P/Invoke declarations, and a thin wrapper that turns
// the library's texts into .NET strings and releases what must be released.
//
// Add this file to the host's project as it is. It needs C# 6 and runs on
// .NET Framework 4.7 and later, .NET Core / .NET 5 and later, and Mono.
// docs/windows-hosts.md explains the marshalling chosen for each argument.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Kelvane.KelvaneTunes.OfflineCache
{
    /// <summary>
    /// The library's C interface, one declaration per exported function, with
    /// the C types spelled out: int32_t is int, int64_t is long, size_t is
    /// UIntPtr.
    ///
    /// Texts the library returns are never declared as string: the marshaller
    /// would free them with the wrong allocator. Those typed IntPtr below are
    /// either owned by the library (version, format names, last-error text:
    /// read them, never free them) or owned by the caller (safe file name,
    /// scan report: read them, then pass them to ktcache_free once).
    /// </summary>
    public static class KtCacheNative
    {
        /// <summary>Windows appends ".dll"; Linux and Mono look for
        /// "lib" + this + ".so".</summary>
        public const string Library = "kelvane-kelvanetunes-offline-cache-model";

        /// <summary>Library-owned "1.0.0"; never freed.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern IntPtr ktcache_version();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int ktcache_abi_version();

        /// <summary>Library-owned text of the calling OS thread, at most 255
        /// bytes; never freed. Read it on the thread that made the call, before
        /// that thread calls the library again.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern IntPtr ktcache_last_error();

        /// <summary>Releases a block from ktcache_safe_filename or
        /// ktcache_scan_dir_json; IntPtr.Zero does nothing.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern void ktcache_free(IntPtr block);

        /// <summary>The array is pinned and passed as a pointer; null passes a
        /// null pointer. length must not exceed header.Length.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int ktcache_has_valid_audio_magic(byte[] header, UIntPtr length);

        /// <summary>Library-owned "m4a" ... "wav" or "invalid"; never freed.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern IntPtr ktcache_format_name(int format);

        /// <summary>The path goes in as the narrow file functions of Windows
        /// read it: in the process's ANSI code page (UTF-8 under the
        /// recommended manifest; UTF-8 on Linux and Mono). A character the
        /// code page cannot spell throws ArgumentException instead of being
        /// replaced by a look-alike that names another file.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true,
                   CharSet = CharSet.Ansi, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern int ktcache_validate_file(
            [MarshalAs(UnmanagedType.LPStr)] string path, long minSize);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int ktcache_validate_http_status(int status);

        /// <summary>The URL goes in as UTF-8, the encoding of a URL's
        /// characters. Caller-owned result: pass it to ktcache_free.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern IntPtr ktcache_safe_filename(
            [MarshalAs(UnmanagedType.LPUTF8Str)] string url);

        /// <summary>The directory path goes in as for ktcache_validate_file.
        /// Caller-owned UTF-8 report, or IntPtr.Zero: pass it to
        /// ktcache_free.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true,
                   CharSet = CharSet.Ansi, BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern IntPtr ktcache_scan_dir_json(
            [MarshalAs(UnmanagedType.LPStr)] string dirPath, int purge);

        /// <summary>The library writes into the pinned array; bufSize must not
        /// exceed buf.Length.</summary>
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int ktcache_format_bytes(
            long byteCount, [Out] byte[] buf, UIntPtr bufSize);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int ktcache_selftest();
    }

    /// <summary>
    /// The same functions with .NET types. Every wrapper that can fail reads
    /// the last-error text at once, on the same thread, and hands it back;
    /// nothing here throws except for a path the code page cannot spell.
    /// </summary>
    public static class KtCache
    {
        /// <summary>Room for any FormatBytes text: KTCACHE_BYTES_TEXT_SIZE (17)
        /// holds it while the locale's decimal mark is one byte, and a
        /// multibyte mark adds up to 15 bytes.</summary>
        public const int BytesTextSize = 17 + 15;

        public static string Version => Utf8(KtCacheNative.ktcache_version());

        public static int AbiVersion => KtCacheNative.ktcache_abi_version();

        /// <summary>The calling thread's last-error text ("" when none).</summary>
        public static string LastError => Utf8(KtCacheNative.ktcache_last_error());

        /// <summary>Format code 1-6 of the first bytes, or 0.</summary>
        public static int AudioFormatOf(byte[] header) =>
            KtCacheNative.ktcache_has_valid_audio_magic(
                header, (UIntPtr)(header == null ? 0 : header.Length));

        public static string FormatName(int format) =>
            Utf8(KtCacheNative.ktcache_format_name(format));

        /// <summary>-1 (cannot check), 0 (not acceptable) or the format code
        /// 1-6; lastError holds the reason ("" on success).</summary>
        public static int ValidateFile(string path, long minSize, out string lastError)
        {
            int result = KtCacheNative.ktcache_validate_file(path, minSize);
            lastError = LastError;
            return result;
        }

        public static bool IsHttpSuccess(int status) =>
            KtCacheNative.ktcache_validate_http_status(status) == 0;

        /// <summary>The cache file name for a download URL; null only when
        /// memory ran out.</summary>
        public static string SafeFilename(string url) =>
            TakeUtf8(KtCacheNative.ktcache_safe_filename(url));

        /// <summary>The JSON report of a cache directory, or null with the
        /// reason in lastError ("empty dir_path", "opendir failed", or "" when
        /// the directory was walked but no report could be made).</summary>
        public static string ScanDirJson(string dirPath, bool purge, out string lastError)
        {
            IntPtr report = KtCacheNative.ktcache_scan_dir_json(dirPath, purge ? 1 : 0);
            lastError = LastError;
            return TakeUtf8(report);
        }

        /// <summary>"14.7 MB" and the like.</summary>
        public static string FormatBytes(long byteCount)
        {
            var buf = new byte[BytesTextSize];
            int length = KtCacheNative.ktcache_format_bytes(byteCount, buf, (UIntPtr)buf.Length);
            return Encoding.UTF8.GetString(buf, 0, length < 0 ? 0 : length);
        }

        public static int SelfTest() => KtCacheNative.ktcache_selftest();

        /// <summary>Reads a NUL-terminated UTF-8 text the library owns.</summary>
        public static string Utf8(IntPtr text)
        {
            if (text == IntPtr.Zero) return null;
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) ++length;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }

        /// <summary>Reads a block the caller owns, then releases it.</summary>
        public static string TakeUtf8(IntPtr block)
        {
            try
            {
                return Utf8(block);
            }
            finally
            {
                KtCacheNative.ktcache_free(block);
            }
        }
    }
}

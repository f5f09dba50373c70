// .NET binding of usbhelper.dll (usbhelper.h). Add this file and the kit's UsbMessage.cs (made
// from the header's message table) to the host project. usbhelper.dll is a 32-bit DLL: the host
// process must be x86 (PlatformTarget x86, not AnyCPU), with usbhelper.dll, AdbBridge.dll and
// whitelist.json beside its executable.
//
//   UsbLibrary.MessageReceived += (sender, e) => statusLabel.Text = e.Id + " " + e.UserLine;
//   UsbLibrary.Start();                   // on the UI thread: events arrive on it
//   ...
//   UsbLibrary.Retry(serial, UsbMessage.WM_ADB_OPEN);
//   UsbLibrary.Stop();
using System;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;

namespace UsbHelper
{
    /// <summary>One message of the library, copied out of its callback.</summary>
    public sealed class UsbMessageEventArgs : EventArgs
    {
        public UsbMessageEventArgs(UsbMessage id, string json)
        {
            Id = id;
            Json = json;
        }

        /// <summary>The message id; an id this binding does not name keeps its number.</summary>
        public UsbMessage Id { get; private set; }

        /// <summary>The compact JSON payload, ending in "\n".</summary>
        public string Json { get; private set; }

        /// <summary>What to tell the user when the message ends a phone's flow, else null.</summary>
        public string UserLine
        {
            get { return UsbUserLines.LineFor(Id); }
        }
    }

    /// <summary>The seven exports as they are. Texts are bytes in the system's ANSI code page, so
    /// strings are marshalled as ANSI; a character the code page lacks is refused, not replaced.</summary>
    public static class NativeMethods
    {
        public const string Dll = "usbhelper.dll";

        /// <summary>The host callback: id and a NUL-terminated text valid during the call only.</summary>
        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate void UiCallback(int id, IntPtr json);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern void IUSB_start(UiCallback callback);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern int IUSB_stop();

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        public static extern void IUSB_startAdbServer();

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool IUSB_isPhone(string devicePath);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool IUSB_hasPhone();

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true)]
        [return: MarshalAs(UnmanagedType.U1)]
        public static extern bool IUSB_getPhoneList(IntPtr buffer, ref uint length);

        [DllImport(Dll, CallingConvention = CallingConvention.Cdecl, ExactSpelling = true, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        public static extern void IUSB_SendMessage(string message);
    }

    /// <summary>The library for a .NET host: one per process, as the DLL is.</summary>
    public static class UsbLibrary
    {
        // Kept for the library's whole lifetime: the DLL holds the pointer after IUSB_start, and a
        // collected delegate would be called as freed memory.
        private static readonly NativeMethods.UiCallback s_callback = OnNativeMessage;
        private static SynchronizationContext s_context;

        /// <summary>Raised for every message, on the thread of the SynchronizationContext given
        /// to Start (the UI thread), or on the library's thread when there was none.</summary>
        public static event EventHandler<UsbMessageEventArgs> MessageReceived;

        /// <summary>Starts the library; messages are posted to the calling thread's context.</summary>
        public static void Start()
        {
            Start(SynchronizationContext.Current);
        }

        /// <summary>Starts the library; messages are posted to this context (null: raised on the
        /// library's thread, where a handler must not block). Later calls change nothing.</summary>
        public static void Start(SynchronizationContext context)
        {
            s_context = context;
            NativeMethods.IUSB_start(s_callback);
        }

        /// <summary>0 when the service was stopped, -1 when it was not started. Messages posted
        /// before may still arrive on the context after it returned.</summary>
        public static int Stop()
        {
            return NativeMethods.IUSB_stop();
        }

        public static void StartAdbServer()
        {
            NativeMethods.IUSB_startAdbServer();
        }

        /// <summary>Is the device with this interface path ("\\?\USB#VID_...") a phone?</summary>
        public static bool IsPhone(string devicePath)
        {
            return devicePath != null && NativeMethods.IUSB_isPhone(devicePath);
        }

        /// <summary>Is a phone plugged in that the service has not taken up yet?</summary>
        public static bool HasPhone()
        {
            return NativeMethods.IUSB_hasPhone();
        }

        /// <summary>The phone-list document, [{"phone":"\\\\?\\USB#..."}] + "\n"; null when no
        /// phone is present.</summary>
        public static string GetPhoneList()
        {
            uint length = 0;
            if (!NativeMethods.IUSB_getPhoneList(IntPtr.Zero, ref length))
                return null;
            // The list may grow between the size call and the copy: then the copy call was a size
            // call again and nothing was copied.
            for (int attempt = 0; attempt < 8; ++attempt)
            {
                uint offered = length + 1;
                IntPtr buffer = Marshal.AllocHGlobal((int)offered);
                try
                {
                    Marshal.Copy(new byte[offered], 0, buffer, (int)offered);
                    uint size = offered;
                    if (!NativeMethods.IUSB_getPhoneList(buffer, ref size))
                        return null;
                    if (Marshal.ReadByte(buffer) != 0)
                        return Marshal.PtrToStringAnsi(buffer);
                    length = size;
                }
                finally
                {
                    Marshal.FreeHGlobal(buffer);
                }
            }
            return null;
        }

        /// <summary>Queues an action message; returns at once, from any thread.</summary>
        public static void Send(string actionJson)
        {
            if (actionJson != null)
                NativeMethods.IUSB_SendMessage(actionJson);
        }

        /// <summary>Answers a message with USB_RETRY: WM_ADB_OPEN re-checks USB debugging, any
        /// other id retries the phone.</summary>
        public static void Retry(string serial, UsbMessage answered)
        {
            Send("{\"action\":\"USB_RETRY\",\"command\":" + (int)answered + ",\"device_sn\":" + JsonText(serial) + "}");
        }

        /// <summary>Ends the program that holds port 5037 and retries the phone.</summary>
        public static void KillAdbServer(string serial)
        {
            Send("{\"action\":\"KILL-ADBSERVER\",\"device_sn\":" + JsonText(serial) + "}");
        }

        /// <summary>Sends the answer the user line of this message names, if it has one.</summary>
        public static bool Answer(string serial, UsbMessage answered)
        {
            string action = UsbUserLines.AnswerFor(answered);
            if (action == "USB_RETRY")
                Retry(serial, answered);
            else if (action == "KILL-ADBSERVER")
                KillAdbServer(serial);
            else
                return false;
            return true;
        }

        private static string JsonText(string text)
        {
            var json = new StringBuilder("\"");
            foreach (char c in text ?? "")
            {
                if (c == '"' || c == '\\')
                    json.Append('\\').Append(c);
                else if (c < ' ')
                    json.AppendFormat("\\u{0:x4}", (int)c);
                else
                    json.Append(c);
            }
            return json.Append('"').ToString();
        }

        // On the library's thread: copy the text now (it is valid during the call only), hand it
        // to the host's context and return at once. Nothing may be thrown back into the DLL.
        private static void OnNativeMessage(int id, IntPtr json)
        {
            try
            {
                var message = new UsbMessageEventArgs((UsbMessage)id, Marshal.PtrToStringAnsi(json) ?? "");
                SynchronizationContext context = s_context;
                if (context != null)
                    context.Post(Raise, message);
                else
                    Raise(message);
            }
            catch (Exception)
            {
                // A host handler's failure stays on the host's side.
            }
        }

        private static void Raise(object message)
        {
            EventHandler<UsbMessageEventArgs> handler = MessageReceived;
            if (handler != null)
                handler(null, (UsbMessageEventArgs)message);
        }
    }
}

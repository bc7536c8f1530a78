#include "library/emulated/system_libraries.h"

#include <algorithm>
#include <cctype>
#include <iterator>

namespace {

// The DLLs and drivers in the system folder of a current Windows
// installation that programs link against. Not here: the compiler
// runtimes an installer must bring (msvcp140.dll, vcruntime140.dll,
// msvcr100.dll, libstdc++-6.dll, libgcc_s_dw2-1.dll, ...) and the DirectX
// redistributable's (d3dx9_43.dll, xinput1_3.dll, ...).
// clang-format off
const char* const kWindowsLibraries[] = {
    "activeds.dll", "adsldpc.dll", "advapi32.dll", "advapi32res.dll", "apphelp.dll", "atl.dll",
    "audioses.dll", "authz.dll", "avicap32.dll", "avifil32.dll", "avrt.dll", "bcrypt.dll",
    "bcryptprimitives.dll", "cabinet.dll", "cfgmgr32.dll", "clbcatq.dll", "combase.dll", "comctl32.dll",
    "comdlg32.dll", "coml2.dll", "compstui.dll", "comsvcs.dll", "credui.dll", "crypt32.dll", "cryptbase.dll",
    "cryptdll.dll", "cryptnet.dll", "cryptsp.dll", "cryptui.dll", "d2d1.dll", "d3d10.dll", "d3d10_1.dll",
    "d3d10core.dll", "d3d11.dll", "d3d12.dll", "d3d8.dll", "d3d9.dll", "d3dcompiler_47.dll", "dbgcore.dll",
    "dbgeng.dll", "dbghelp.dll", "dciman32.dll", "dcomp.dll", "ddraw.dll", "devobj.dll", "dhcpcsvc.dll",
    "dhcpcsvc6.dll", "dinput.dll", "dinput8.dll", "dnsapi.dll", "dsound.dll", "dsrole.dll", "dssec.dll",
    "dsuiext.dll", "duser.dll", "dwmapi.dll", "dwrite.dll", "dxcore.dll", "dxgi.dll", "dxva2.dll",
    "esent.dll", "evr.dll", "faultrep.dll", "feclient.dll", "fltlib.dll", "fontsub.dll", "fwpuclnt.dll",
    "gdi32.dll", "gdi32full.dll", "gdiplus.dll", "glu32.dll", "gpapi.dll", "hid.dll", "hlink.dll",
    "hnetcfg.dll", "httpapi.dll", "icm32.dll", "ieframe.dll", "iertutil.dll", "imagehlp.dll", "imm32.dll",
    "inetcomm.dll", "inkobj.dll", "iphlpapi.dll", "jscript.dll", "kernel.appcore.dll", "kernel32.dll",
    "kernelbase.dll", "ksuser.dll", "ktmw32.dll", "loadperf.dll", "logoncli.dll", "lpk.dll", "mapi32.dll",
    "mf.dll", "mfc42.dll", "mfc42u.dll", "mfplat.dll", "mfplay.dll", "mfreadwrite.dll", "mlang.dll",
    "mmcbase.dll", "mmdevapi.dll", "mpr.dll", "mprapi.dll", "msacm32.dll", "msacm32.drv", "msasn1.dll",
    "mscms.dll", "mscoree.dll", "msctf.dll", "msdmo.dll", "msftedit.dll", "mshtml.dll", "msi.dll",
    "msimg32.dll", "msls31.dll", "msports.dll", "msrating.dll", "mssign32.dll", "mstask.dll", "msv1_0.dll",
    "msvcirt.dll", "msvcp60.dll", "msvcp_win.dll", "msvcrt.dll", "msvfw32.dll", "msvidc32.dll", "mswsock.dll",
    "msxml3.dll", "msxml6.dll", "ncobjapi.dll", "ncrypt.dll", "netapi32.dll", "netcfgx.dll", "netshell.dll",
    "netutils.dll", "newdev.dll", "normaliz.dll", "nsi.dll", "ntdll.dll", "ntdsapi.dll", "ntlanman.dll",
    "ntmarta.dll", "ntprint.dll", "ntshrui.dll", "odbc32.dll", "odbccp32.dll", "ole32.dll", "oleacc.dll",
    "oleaut32.dll", "olecli32.dll", "oledlg.dll", "olepro32.dll", "olesvr32.dll", "opengl32.dll",
    "pautoenr.dll", "pdh.dll", "photowiz.dll", "powrprof.dll", "printui.dll", "prntvpt.dll", "profapi.dll",
    "propsys.dll", "psapi.dll", "puiapi.dll", "qmgr.dll", "quartz.dll", "query.dll", "rasapi32.dll",
    "rasdlg.dll", "rasman.dll", "regapi.dll", "resutils.dll", "riched20.dll", "riched32.dll", "rpcrt4.dll",
    "rstrtmgr.dll", "rtutils.dll", "samcli.dll", "samlib.dll", "scecli.dll", "scesrv.dll", "schannel.dll",
    "sechost.dll", "secur32.dll", "security.dll", "sendmail.dll", "sensapi.dll", "setupapi.dll", "sfc.dll",
    "sfc_os.dll", "shcore.dll", "shdocvw.dll", "shell32.dll", "shfolder.dll", "shimgvw.dll", "shlwapi.dll",
    "slc.dll", "snmpapi.dll", "softpub.dll", "spoolss.dll", "srclient.dll", "srvcli.dll", "sspicli.dll",
    "sti.dll", "sxs.dll", "t2embed.dll", "tapi32.dll", "tdh.dll", "traffic.dll", "twinapi.appcore.dll",
    "twinapi.dll", "txfw32.dll", "ucrtbase.dll", "uiautomationcore.dll", "umpdc.dll", "url.dll", "urlmon.dll",
    "user32.dll", "userenv.dll", "usp10.dll", "uxtheme.dll", "vbscript.dll", "vdmdbg.dll", "version.dll",
    "virtdisk.dll", "vssapi.dll", "wbemcomn.dll", "wdmaud.drv", "wdscore.dll", "webio.dll", "webservices.dll",
    "wer.dll", "wevtapi.dll", "win32u.dll", "winbrand.dll", "windows.storage.dll", "windowscodecs.dll",
    "winhttp.dll", "wininet.dll", "winmm.dll", "winmmbase.dll", "winnsi.dll", "winrnr.dll", "winscard.dll",
    "winspool.drv", "winsta.dll", "wintrust.dll", "wintypes.dll", "winusb.dll", "wkscli.dll", "wlanapi.dll",
    "wldap32.dll", "wmi.dll", "wmvcore.dll", "wow32.dll", "wpc.dll", "ws2_32.dll", "wscapi.dll", "wsdapi.dll",
    "wshbth.dll", "wsnmp32.dll", "wsock32.dll", "wtsapi32.dll", "xinput1_4.dll", "xinput9_1_0.dll",
    "xmllite.dll", "xolehlp.dll", "xpsprint.dll", "xpsservices.dll", "zipfldr.dll"
};
// clang-format on

}  // namespace

bool IsSystemLibrary(const std::string& library) {
    std::string name(library);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name.find('.') == std::string::npos) name += ".dll";
    // The API sets name parts of the system by contract, version by version.
    if (name.rfind("api-ms-win-", 0) == 0 || name.rfind("ext-ms-win-", 0) == 0) return true;
    const auto found = std::find(std::begin(kWindowsLibraries), std::end(kWindowsLibraries), name);
    return found != std::end(kWindowsLibraries);
}

; The installer's and uninstaller's own texts, in English and Simplified Chinese.
; Kept as UTF-8 with a byte-order mark so makensis reads the Chinese right.

LangString SecProgram ${LANG_ENGLISH} "Quorvix Mixer"
LangString SecProgram ${LANG_SIMPCHINESE} "Quorvix Mixer"
LangString SecProgramDesc ${LANG_ENGLISH} "The mixer and its tray icon, with the Qt libraries it needs."
LangString SecProgramDesc ${LANG_SIMPCHINESE} "混音器程序及其托盘图标，以及所需的 Qt 库。"
LangString SecAutostart ${LANG_ENGLISH} "Start Quorvix Mixer when I log in"
LangString SecAutostart ${LANG_SIMPCHINESE} "登录时启动 Quorvix Mixer"
LangString SecAutostartDesc ${LANG_ENGLISH} "Puts the tray icon in the notification area every time you log in to Windows."
LangString SecAutostartDesc ${LANG_SIMPCHINESE} "每次登录 Windows 时在通知区域显示托盘图标。"

LangString NoticesTitle ${LANG_ENGLISH} "Third-party software"
LangString NoticesTitle ${LANG_SIMPCHINESE} "第三方软件"
LangString NoticesSubtitle ${LANG_ENGLISH} "Quorvix Mixer includes libraries under their own licences."
LangString NoticesSubtitle ${LANG_SIMPCHINESE} "Quorvix Mixer 包含遵循各自许可证的库。"
LangString NoticesTop ${LANG_ENGLISH} "The licence texts are installed in the licenses folder of the program."
LangString NoticesTop ${LANG_SIMPCHINESE} "许可证全文将安装到程序的 licenses 文件夹中。"
LangString NoticesBottom ${LANG_ENGLISH} "Click Next to continue."
LangString NoticesBottom ${LANG_SIMPCHINESE} "单击“下一步”继续。"

LangString MsgNotWritable ${LANG_ENGLISH} "Setup cannot write to the folder$\r$\n$\r$\n$INSTDIR$\r$\n$\r$\nIt may be read-only, or you may not have the rights to change it. Nothing was installed. Choose another folder, or make this one writable and run Setup again."
LangString MsgNotWritable ${LANG_SIMPCHINESE} "安装程序无法写入文件夹$\r$\n$\r$\n$INSTDIR$\r$\n$\r$\n该文件夹可能是只读的，或者您没有修改它的权限。未安装任何内容。请选择其他文件夹，或使该文件夹可写后重新运行安装程序。"
LangString MsgStillRunning ${LANG_ENGLISH} "Quorvix Mixer is still running and could not be closed. Quit it from its tray icon, then click Retry."
LangString MsgStillRunning ${LANG_SIMPCHINESE} "Quorvix Mixer 仍在运行且无法关闭。请从其托盘图标退出程序，然后单击“重试”。"

LangString UnSecProgram ${LANG_ENGLISH} "Quorvix Mixer"
LangString UnSecProgram ${LANG_SIMPCHINESE} "Quorvix Mixer"
LangString UnSecProgramDesc ${LANG_ENGLISH} "The program, its shortcut and its start at log-in."
LangString UnSecProgramDesc ${LANG_SIMPCHINESE} "程序、其快捷方式及登录时启动设置。"
LangString UnSecSettings ${LANG_ENGLISH} "Also remove my settings"
LangString UnSecSettings ${LANG_SIMPCHINESE} "同时删除我的设置"
LangString UnSecSettingsDesc ${LANG_ENGLISH} "Deletes the settings of your interfaces (the QuorvixDriver folder in your AppData). Leave it unticked to keep them for a later installation."
LangString UnSecSettingsDesc ${LANG_SIMPCHINESE} "删除您的音频接口设置（AppData 中的 QuorvixDriver 文件夹）。不勾选则保留设置，供以后安装使用。"

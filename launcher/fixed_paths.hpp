// The three paths of a run, the program's own settings file and the folder
// of root's run lock. The build sets them; the shipped program keeps these
// values, test and demo builds root them elsewhere.
#pragma once

#ifndef ZELVO_ENGINE_INI
#define ZELVO_ENGINE_INI "/etc/zelvo/zelvo32.ini"
#endif
#ifndef ZELVO_SETTINGS_FILE
#define ZELVO_SETTINGS_FILE "/etc/zelvo/zelvo-ivask.conf"
#endif
#ifndef ZELVO_SCANNER_CONFIG
#define ZELVO_SCANNER_CONFIG "/tmp/.ivask_config"
#endif
#ifndef ZELVO_SCANNER
#define ZELVO_SCANNER "/opt/zelvo/zelvo"
#endif
#ifndef ZELVO_RUN_DIR
#define ZELVO_RUN_DIR "/run"
#endif

// The three paths of a run. The build sets them; the shipped program keeps
// these values, test and demo builds root them elsewhere.
#pragma once

#ifndef ZELVO_ENGINE_INI
#define ZELVO_ENGINE_INI "/etc/zelvo/zelvo32.ini"
#endif
#ifndef ZELVO_SCANNER_CONFIG
#define ZELVO_SCANNER_CONFIG "/tmp/.ivask_config"
#endif
#ifndef ZELVO_SCANNER
#define ZELVO_SCANNER "/opt/zelvo/zelvo"
#endif

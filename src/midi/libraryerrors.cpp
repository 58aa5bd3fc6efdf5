#include "libraryerrors.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>

namespace pocko {

namespace {

void silentJack(const char *) { }
void silentAlsa(const char *, int, const char *, int, const char *, ...) { }

} // namespace

void silenceLibraryErrors()
{
    snd_lib_error_set_handler(silentAlsa);
    jack_set_error_function(silentJack);
    jack_set_info_function(silentJack);
}

} // namespace pocko

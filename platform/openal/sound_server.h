// What the sound server says of this process's playback stream: the layout of the output it
// plays to, for engines that do not report it (1.19), and whether the server still answers and
// still holds the stream. Each system asks whoever knows; with no one to ask, nothing is known.
#pragma once

#include <optional>

#include "platform/openal/engine_thread.h"

namespace sound {

struct ServerAnswer {
    // False when a server took the question and did not answer by the deadline.
    bool answered = true;
    // Whether the server listed our stream, and its channel count then.
    bool listed = false;
    std::optional<int> channels;
};

// Prepares the question, before the engine's first call: on Linux, our streams carry a mark of
// this process's own by which the sound server's listing tells them from others'.
void PrepareServerQuestion();

// Asks the server about the stream the engine plays for this process, by deadline.
ServerAnswer AskAboutOurStream(Deadline deadline);

} // namespace sound

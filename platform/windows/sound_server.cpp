// The output's layout on Windows: the engine's WASAPI backend (1.22 and later) reports it
// itself; an older engine gets no answer, and the output counts as able to take stereo.
#include "platform/openal/output_layout.h"

namespace sound {

void PrepareOutputQuestion() {}

ChannelsAnswer OutputChannels(Deadline)
{
    return {};
}

} // namespace sound

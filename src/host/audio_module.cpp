// Audio: WAV tracks played by the engine's player, one thread per playing track.
#include "modules.h"
#include "player.h"

namespace {

namespace audio = brume::audio;

Variable openTrack(const std::vector<Variable>& args) {
    const std::string path = stringArg(args, 0, "Audio.open", "path");
    void* handle = audio::OpenMP3File(path.c_str());
    return returnValues({handle ? Variable::pointer(handle) : Variable(), Variable(handle != nullptr)});
}

// A script offset as whole milliseconds: negative and NaN are 0, beyond range the largest.
std::uint64_t offsetMilliseconds(double value) {
    if (!(value > 0)) return 0;
    if (value >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(value);
}

Variable playTrack(const std::vector<Variable>& args) {
    void* track = pointerValue(requireArg(args, 0, "Audio.play"), "Audio.play", "track");
    const bool loop = flagValue(requireArg(args, 1, "Audio.play"));
    const std::uint64_t offset =
        args.size() > 2 ? offsetMilliseconds(numberArg(args, 2, "Audio.play", "offset")) : 0;
    return Variable(audio::Play(track, offset, loop));
}

Variable pauseTrack(const std::vector<Variable>& args) {
    void* track = pointerValue(requireArg(args, 0, "Audio.pause"), "Audio.pause", "track");
    const std::uint64_t position = audio::Stop(track);
    if (position < (std::uint64_t(1) << 31)) return Variable(static_cast<int32_t>(position));
    return Variable(static_cast<float>(position));
}

Variable freeTrack(const std::vector<Variable>& args) {
    if (void* track = pointerValue(requireArg(args, 0, "Audio.free"), "Audio.free", "track"))
        audio::Close(track);
    return Variable();
}

Variable clearTracks(const std::vector<Variable>&) {
    audio::StopAll();
    return Variable();
}

} // namespace

HostMembers audioMembers() {
    return {{"open", openTrack},
            {"play", playTrack},
            {"pause", pauseTrack},
            {"free", freeTrack},
            {"clear", clearTracks}};
}

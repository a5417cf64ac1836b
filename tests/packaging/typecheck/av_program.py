"""A fully annotated program on lumora_kit's PyAV layer: mypy --strict and pyright must accept it."""

import asyncio

import av

import _lumora
from lumora_kit import Room, media
from lumora_kit.av import (
    AudioMixer, MediaInfo, MediaPlayer, MediaRecorder, MixerInputStats, MixerStats, audio_frame_from_av,
    av_audio_frame, av_video_frame, pixel_frame_from_av,
)


async def play_record_and_mix(room: Room, user_id: str) -> tuple[int, float | None]:
    player = MediaPlayer("talk.mp4", loop=False, sample_rate=16000, fps=15.0)
    recorder = MediaRecorder("call.webm", video_codec="libvpx-vp9", options={"cluster_time_limit": "1000"})
    stream = MediaPlayer("https://example.com/talk.mp4", protocols={"https", "tls", "tcp"}, timeout=5.0)
    out = MediaRecorder("tcp://127.0.0.1:9000", format="matroska", protocols=frozenset({"tcp"}))
    async with recorder:
        await recorder.start(room, user_id)
        await player.play(room)
    del stream, out
    info: MediaInfo | None = player.info
    tracks: list[tuple[str, str | None]] = recorder.tracks
    async with AudioMixer(16000, channels=1, latency_ms=60) as mixer:
        name: str = mixer.add_input(room.audio_stream(user_id), user_id)
        frame: _lumora.AudioFrame = await mixer.recv()
        mixer.remove_input(name)
        stats: MixerStats = mixer.stats()
        dropped: int = stats.dropped_samples + sum(i.dropped_samples for i in stats.inputs.values())
        mine: MixerInputStats | None = stats.inputs.get(name)
    converted: av.AudioFrame = av_audio_frame(frame)
    back: _lumora.AudioFrame = audio_frame_from_av(converted, pts=0)
    picture: av.VideoFrame = av_video_frame(media.pixel_frame_from_i420(bytes(6), 2, 2))
    pixels: _lumora.PixelFrame = pixel_frame_from_av(picture, 2, 2)
    checks = len(tracks) + back.channels + pixels.width + dropped + (mine is None)
    return checks, None if info is None else info.duration


if __name__ == "__main__":
    async def main() -> None:
        async with Room.join(1400, 1, "typed", "sig") as room:
            print(await play_record_and_mix(room, "alice"))

    asyncio.run(main())

"""Programs the stubs must reject; scripts/check_typing.sh type-checks this file.

Each wrong line carries a "type: ignore" comment, and the checkers run with
unused ignores reported as errors (mypy --warn-unused-ignores, pyright
reportUnnecessaryTypeIgnoreComment). A stub that stopped rejecting one of
these lines would leave its ignore unused and fail the check.
"""

import _lumora as lumora


class WrongArity(lumora.VELACloudDelegate):
    # The SDK passes two arguments: the local record and the list of remote ones.
    def OnNetworkQuality(self, local: lumora.NetworkQualityInfo, remotes: list[lumora.NetworkQualityInfo],  # type: ignore[override]
                         count: int) -> None:
        pass


class WrongPayload(lumora.VELACloudDelegate):
    # The payload arrives as bytes, not as a str.
    def OnSeiMessageReceived(self, user_id: str | None, stream_type: lumora.StreamType, message_type: int,  # type: ignore[override]
                             message: str) -> None:
        pass


class NoneForgotten(lumora.VELACloudDelegate):
    # A null user id arrives as None.
    def OnRemoteAudioAvailable(self, user_id: str, available: bool) -> None:  # type: ignore[override]
        pass


def calls(cloud: lumora.VELACloud, frame: lumora.AudioFrame) -> None:
    cloud.Subscribe(None, lumora.STREAM_TYPE_AUDIO)  # type: ignore[arg-type]
    cloud.SendSeiMessage(5, "text")  # type: ignore[arg-type]
    frame.SetData(data=b"x")  # type: ignore[call-arg]
    lumora.VelaString("x").GetValue().upper()  # type: ignore[union-attr]
    lumora.SetLogPath(5)  # type: ignore[arg-type]

"""VelaString: the SDK's owned text value."""

import gc

import pytest

NULL_TEXT = "basic_string: construction from null is not valid"


def test_text_forms(lumora):
    s = lumora.VelaString("abc")
    assert s.GetValue() == str(s) == "abc"
    assert repr(s) == "VelaString(abc)"
    assert repr(lumora.VelaString("a b")) == "VelaString(a b)"
    empty = lumora.VelaString("")
    assert repr(empty) == "VelaString()" and empty.GetValue() == ""
    assert lumora.VelaString().GetValue() == ""
    assert lumora.VelaString("ab\0cd").GetValue() == "ab"
    assert lumora.VelaString("żółw €").GetValue() == "żółw €"
    assert lumora.VelaString(b"raw").GetValue() == "raw"
    assert lumora.VelaString(bytearray(b"raw")).GetValue() == "raw"


def test_null_text(lumora, journal):
    s = lumora.VelaString(None)
    assert s.GetValue() is None
    with pytest.raises(RuntimeError, match=NULL_TEXT):
        str(s)
    with pytest.raises(RuntimeError, match=NULL_TEXT):
        repr(s)
    t = lumora.VelaString("x")
    t.SetValue(None)
    assert t.GetValue() is None
    assert journal.calls("VelaString::VelaString") == [[None], [b"x"]]
    assert journal.calls("VelaString::SetValue") == [[None]]


def test_invalid_utf8_is_stored_but_not_decoded(lumora):
    s = lumora.VelaString(b"\xff")
    for read in (s.GetValue, lambda: str(s), lambda: repr(s)):
        with pytest.raises(UnicodeDecodeError):
            read()
    s.SetValue("ok")
    assert str(s) == "ok"


def test_bad_arguments_leave_value_unchanged(lumora):
    s = lumora.VelaString("keep")
    for bad in (5, 1.5, ["x"], "\udcff"):
        with pytest.raises(TypeError):
            s.SetValue(bad)
        with pytest.raises(TypeError):
            lumora.VelaString(bad)
    assert s.GetValue() == "keep"
    with pytest.raises(TypeError):
        lumora.VelaString(text="x")


def test_identity_equality(lumora):
    a, b = lumora.VelaString("same"), lumora.VelaString("same")
    assert a != b and a == a


def test_view_follows_field(lumora):
    room = lumora.RoomParams()
    view = room.user_id
    assert room.user_id is view
    view.SetValue("alice")
    assert room.user_id.GetValue() == "alice"
    room.user_id = lumora.VelaString("bob")
    assert view.GetValue() == "bob"


def test_assignment_copies(lumora):
    room = lumora.RoomParams()
    owner = lumora.VelaString("first")
    room.user_sig = owner
    owner.SetValue("second")
    assert room.user_sig.GetValue() == "first"
    room.user_sig.SetValue("third")
    assert owner.GetValue() == "second"
    for bad in ("str", None, b"bytes"):
        with pytest.raises(TypeError):
            room.user_sig = bad
    assert room.user_sig.GetValue() == "third"


def test_view_keeps_record_alive(lumora):
    params = lumora.EnterRoomParams()
    params.room.str_room_id = lumora.VelaString("room-7")
    view = params.room.str_room_id
    del params
    gc.collect()
    # Churn the allocator so a freed record would show garbage.
    junk = [lumora.EnterRoomParams() for _ in range(100)]
    for j in junk:
        j.room.str_room_id = lumora.VelaString("other")
    assert view.GetValue() == "room-7"


def test_text_without_utf8_form_says_so(lumora):
    with pytest.raises(TypeError, match="UTF-8.*surrogates not allowed"):
        lumora.VelaString("\ud800")
    value = lumora.VelaString("kept")
    with pytest.raises(TypeError, match="UTF-8.*surrogates not allowed"):
        value.SetValue("a\udfff")
    assert value.GetValue() == "kept"

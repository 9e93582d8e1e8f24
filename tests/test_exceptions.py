import pickle

import pytest

import quelm.exceptions
from quelm import BufferFull, ExtraData, FormatError, OutOfData, StackError, UnpackException

@pytest.mark.parametrize(
    "cls, is_value_error",
    [
        pytest.param(OutOfData, True, id="OutOfData"),
        pytest.param(FormatError, True, id="FormatError"),
        pytest.param(StackError, True, id="StackError"),
        pytest.param(ExtraData, True, id="ExtraData"),
        pytest.param(BufferFull, False, id="BufferFull"),
    ],
)
def test_hierarchy(cls, is_value_error):
    assert issubclass(cls, UnpackException)
    assert issubclass(cls, ValueError) is is_value_error

@pytest.mark.parametrize(
    "cls, text",
    [
        pytest.param(OutOfData, "No more data to unpack.", id="OutOfData"),
        pytest.param(FormatError, "invalid input: a byte that starts no Quelm value", id="FormatError"),
        pytest.param(StackError, "containers nested too deeply (more than 1024 levels)",
                     id="StackError"),
        pytest.param(BufferFull, "the input buffer is full (max_buffer_size reached)",
                     id="BufferFull"),
    ],
)
def test_bare_classes_still_print_a_sentence(cls, text):
    assert str(cls()) == text
    assert cls().args == ()
    assert str(cls("given")) == "given"

def test_extra_data_keeps_its_parts():
    error = ExtraData([1, 2], b"\x02\x03")
    assert error.unpacked == [1, 2] and error.extra == b"\x02\x03"
    assert error.args == ([1, 2], b"\x02\x03")
    assert str(error) == "unpack(b) received extra data: 2 byte(s) [02 03] after the value [1, 2]"

def test_extra_data_shortens_long_parts():
    text = str(ExtraData("x" * 200, bytes(range(40))))
    assert "40 byte(s) [00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f ...]" in text
    assert text.endswith("...") and len(text) < 200

@pytest.mark.parametrize("error", [ExtraData({"a": 1}, b"\xc0"), FormatError(), OutOfData("x")])
def test_exceptions_pickle(error):
    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is type(error) and str(copy) == str(error)

def test_native_module_publishes_the_same_classes():
    import quelm._cquelm as native
    for name in ("BufferFull", "OutOfData", "ExtraData", "FormatError", "StackError"):
        assert getattr(native, name) is getattr(quelm.exceptions, name)

"""The json and msgpack properties: a dict encoded by orjson or msgpack into the body,
tagged by its format.

The codec functions are looked up once per process and kept, so what depends on that lookup
runs in a fresh interpreter, with stand-ins for orjson and msgpack put first on sys.path."""

import collections
import re
import subprocess
import sys
import textwrap

import msgpack
import orjson
import pytest
from solclient import FAIL
from zelmsg import ZelMsg

standin_only = pytest.mark.standin_only
ENCODE = {"json": orjson.dumps, "msgpack": msgpack.dumps}
DECODE = {"json": orjson.loads, "msgpack": lambda data: msgpack.loads(data, raw=False)}
PAYLOAD = {
    "name": "tea",
    "count": 3,
    "price": 2.5,
    "ok": True,
    "none": None,
    "tags": ["a", "b"],
    "nested": {"deep": {"x": -1}},
    "text": "ünïcødé",
}


def raises_as(function, *args):
    """pytest.raises for the very exception, type and text, that function(*args) raises."""
    try:
        function(*args)
    except Exception as error:
        return pytest.raises(type(error), match=f"^{re.escape(str(error))}")
    raise AssertionError(f"{function} raised nothing")


@pytest.fixture
def msg():
    return ZelMsg()


@pytest.fixture(params=["json", "msgpack"])
def codec(request):
    return request.param


class Record(dict):
    pass


@pytest.mark.parametrize(
    "value", [PAYLOAD, collections.OrderedDict(b=1, a=2), Record(a=[1])], ids=["dict", "OrderedDict", "subclass"]
)
def test_a_dict_round_trips_as_the_encoders_own_bytes_and_tag(msg, codec, value):
    setattr(msg, codec, value)
    assert getattr(msg, codec) == dict(value)
    assert msg.content_type == codec and msg.body == ENCODE[codec](value)


class Nested(dict):
    """A dict whose items() the packer calls: it packs another message meanwhile."""

    def items(self):
        inner = ZelMsg()
        inner.msgpack = {"inner": list(range(3))}
        Nested.packed = inner.body
        return super().items()


def test_msgpack_bytes_are_dumps_own_whatever_was_packed_before_or_meanwhile(msg):
    for value in [{"a": object()}, {"big": b"x" * (1 << 19)}, {"b": Nested(c=1)}, {"after": [1.5, None]}]:
        try:
            msg.msgpack = value
        except TypeError:
            continue
        assert msg.body == msgpack.dumps(value)
    assert Nested.packed == msgpack.dumps({"inner": [0, 1, 2]})


def test_each_read_is_a_new_dict(msg, codec):
    setattr(msg, codec, {"a": [1]})
    first, second = getattr(msg, codec), getattr(msg, codec)
    assert first is not second
    first["a"].append(2)
    assert second == getattr(msg, codec) == {"a": [1]}


@pytest.mark.parametrize(
    "value", [[("a", 1)], "a", None, {"when": object()}], ids=["list", "str", "None", "unencodable"]
)
def test_a_refused_value_or_encoding_writes_nothing(lib, msg, codec, value):
    msg.content_type, msg.body = "kept", b"kept"

    def assign():
        if isinstance(value, dict):  # the encoder's own exception comes through
            with raises_as(ENCODE[codec], value):
                setattr(msg, codec, value)
        else:
            with pytest.raises(TypeError):
                setattr(msg, codec, value)

    lib.check_refusal(assign)
    assert (msg.content_type, msg.body) == ("kept", b"kept")


@pytest.mark.parametrize(
    "body", [b"", b'{"a": 1}', msgpack.dumps({"a": 1}), b"\xc1"], ids=["empty", "json", "msgpack", "garbage"]
)
def test_a_read_decodes_the_body_whatever_the_tag_says(msg, codec, body):
    msg.content_type = codec
    msg.body = body
    try:
        expected = DECODE[codec](body)
    except Exception:
        with raises_as(DECODE[codec], body):
            getattr(msg, codec)
    else:
        assert getattr(msg, codec) == expected


@pytest.mark.parametrize("body", [b'[["a", 1], ["b", [2]]]', b"[1, 2]", b'["ab", "c"]', b"null"])
def test_json_that_is_not_an_object_goes_through_dict(msg, body):
    msg.body = body
    try:
        expected = dict(orjson.loads(body))
    except Exception:
        with raises_as(dict, orjson.loads(body)):
            msg.json
    else:
        assert msg.json == expected == {"a": 1, "b": [2]}


@pytest.mark.parametrize(
    "value, read",
    [
        ([1, "two"], {"content": [1, "two"]}),
        ([["a", 1]], {"content": [["a", 1]]}),  # a sequence is wrapped, even one of pairs
        ("text", {"content": "text"}),
        (b"\x00\x01", {"content": b"\x00\x01"}),
        ({"k": ["v"]}, {"k": ["v"]}),
        (5, None),
        (None, None),
        (True, None),
    ],
)
def test_msgpack_that_is_not_a_map_is_wrapped_or_goes_through_dict(msg, value, read):
    msg.body = msgpack.dumps(value)
    if read is None:
        with raises_as(dict, value):
            msg.msgpack
    else:
        assert msg.msgpack == read


@standin_only
def test_a_write_makes_the_tag_and_body_calls_and_a_read_one_attachment_read(lib, msg, codec):
    tag = {
        "solClient_msg_getUserPropertyMap": 1,
        "solClient_container_addString": 1,
        "solClient_container_closeMapStream": 1,
        "solClient_msg_setBinaryAttachment": 1,
    }
    # A message without a map gets a new one; one with a map has its tag replaced.
    assert lib.calls_made(lambda: setattr(msg, codec, {"a": 1})) == tag | {"solClient_msg_createUserPropertyMap": 1}
    assert lib.calls_made(lambda: setattr(msg, codec, {"a": 1})) == tag | {"solClient_container_deleteField": 1}
    assert lib.calls_made(lambda: getattr(msg, codec)) == {"solClient_msg_getBinaryAttachmentPtr": 1}


@standin_only
def test_the_tag_is_written_before_the_body_and_failures_are_ignored(lib, msg, codec):
    msg.content_type, msg.body = "kept", b"kept"
    lib.fail_next("solClient_container_deleteField", FAIL)
    setattr(msg, codec, {"a": 1})
    assert (msg.content_type, msg.body) == ("kept", ENCODE[codec]({"a": 1}))

    lib.fail_next("solClient_msg_setBinaryAttachment", FAIL)
    setattr(msg, codec, {"b": 2})
    assert (msg.content_type, msg.body) == (codec, ENCODE[codec]({"a": 1}))

    lib.fail_next("solClient_container_deleteField", FAIL)
    lib.fail_next("solClient_msg_setBinaryAttachment", FAIL)
    setattr(msg, codec, {"c": 3})
    # Both failed: the last error the library recorded is the body's, so it came second.
    assert "solClient_msg_setBinaryAttachment" in lib.last_error_text()


# In a fresh interpreter: stand-in codec modules and the lookups of their functions

# A stand-in for orjson or msgpack. Each lookup of loads or dumps is logged and hands out a
# new function that logs its calls and runs log.behaviour[(module, name)], by default JSON.
FAKE_CODEC = """
import json, sys
log = sys.modules["codec_log"]
DEFAULT = {"dumps": lambda value: json.dumps(value).encode(),
           "loads": lambda data, **options: json.loads(data)}

def __getattr__(name):
    if name not in DEFAULT or (__name__, name) in log.missing:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    log.lookups.append((__name__, name))
    def function(*args, **kwargs):
        log.calls.append((__name__, name, args, kwargs))
        log.used.append(function)
        return log.behaviour.get((__name__, name), DEFAULT[name])(*args, **kwargs)
    return function

class Packer:
    # msgpack's: dumps(value) is Packer().pack(value).
    def __init__(self):
        self.pack = __getattr__("dumps")
"""

PRELUDE = """
import sys, types
log = sys.modules["codec_log"] = types.ModuleType("codec_log")
log.lookups, log.calls, log.used, log.behaviour, log.missing = [], [], [], {}, set()
import zelmsg
msg = zelmsg.ZelMsg()

def raises(error_type, action):
    try:
        action()
    except error_type as error:
        return error
    raise AssertionError(f"no {error_type.__name__}")
"""


def run_python(tmp_path, code, modules, timeout=60):
    """Runs code in a new interpreter that finds the given modules first on sys.path."""
    for name, source in modules.items():
        (tmp_path / f"{name}.py").write_text(textwrap.dedent(source))
    script = f"import sys\nsys.path.insert(0, {str(tmp_path)!r})\n"
    script += textwrap.dedent(PRELUDE) + textwrap.dedent(code)
    try:
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"the interpreter hung (deadlock?): {expired.stdout} {expired.stderr}")
    assert result.returncode == 0, result.stdout + result.stderr


FAKES = {"orjson": FAKE_CODEC, "msgpack": FAKE_CODEC}


def test_each_codec_function_is_looked_up_once_on_first_use_and_kept(tmp_path):
    run_python(
        tmp_path,
        """
        assert "orjson" not in sys.modules and "msgpack" not in sys.modules
        value = {"a": [1, 2]}
        for codec in ("json", "msgpack"):
            for _ in range(3):
                setattr(msg, codec, value)
                assert getattr(msg, codec) == value
        assert sorted(log.lookups) == [("msgpack", "dumps"), ("msgpack", "loads"),
                                       ("orjson", "dumps"), ("orjson", "loads")]
        # Rebinding the package attributes after first use changes nothing.
        import orjson, msgpack
        for module in (orjson, msgpack):
            module.loads = module.dumps = lambda *args, **kwargs: 1 / 0
        msg.json = value
        assert msg.json == value and msg.body == b'{"a": [1, 2]}'
        msg.msgpack = value
        assert msg.msgpack == value and len(log.lookups) == 4
        assert sys.modules["zelmsg"] is zelmsg
    """,
        FAKES,
    )


def test_each_slot_keeps_its_own_reference_to_its_function(tmp_path):
    # Codec modules whose functions nothing else keeps: each lookup makes a new one.
    unkept = """
        import json, weakref
        made = []
        def __getattr__(name):
            function = {"dumps": lambda value: json.dumps(value).encode(),
                        "loads": lambda data, **options: json.loads(data)}[name]
            made.append(weakref.ref(function))
            return function
        class Packer:
            def __init__(self):
                self.pack = __getattr__("dumps")
    """
    run_python(
        tmp_path,
        """
        import gc, orjson, msgpack
        for _ in range(2):
            for codec in ("json", "msgpack"):
                setattr(msg, codec, {"a": 1})
                assert getattr(msg, codec) == {"a": 1}
            gc.collect()
        assert [len(module.made) for module in (orjson, msgpack)] == [2, 2]
        assert all(ref() is not None for module in (orjson, msgpack) for ref in module.made)
    """,
        {"orjson": unkept, "msgpack": unkept},
    )


def test_codec_functions_get_exactly_their_arguments_and_a_dict_comes_back_itself(tmp_path):
    run_python(
        tmp_path,
        """
        import collections
        value = {"a": 1}
        for codec in ("json", "msgpack"):
            setattr(msg, codec, value)
            getattr(msg, codec)
        for module, name, args, kwargs in log.calls:
            if name == "dumps":  # the caller's dict itself, nothing more
                assert len(args) == 1 and args[0] is value and kwargs == {}
            else:  # a new bytes object holding the body
                assert len(args) == 1 and type(args[0]) is bytes and args[0] == msg.body
                assert kwargs == ({"raw": False} if module == "msgpack" else {})
        assert len(log.calls) == 4
        for codec, module in (("json", "orjson"), ("msgpack", "msgpack")):
            for decoded in ({"a": 1}, collections.OrderedDict(b=2)):
                log.behaviour[(module, "loads")] = lambda data, **options: decoded
                assert getattr(msg, codec) is decoded
    """,
        FAKES,
    )


def test_an_encoder_result_that_is_not_bytes_is_refused(tmp_path):
    run_python(
        tmp_path,
        """
        class Blob:
            pass

        class Wire(bytes):
            pass

        msg.content_type, msg.body = "kept", b"kept"
        for codec, module in (("json", "orjson"), ("msgpack", "msgpack")):
            for result, type_name in ((bytearray(b"{}"), "bytearray"), ("{}", "str"),
                                      (None, "NoneType"), (7, "int"), (Blob(), "Blob")):
                log.behaviour[(module, "dumps")] = lambda value: result
                error = raises(TypeError, lambda: setattr(msg, codec, {}))
                assert str(error) == f"Object of type '{type_name}' is not an instance of 'bytes'"
                assert (msg.content_type, msg.body) == ("kept", b"kept")
        for codec, module in (("json", "orjson"), ("msgpack", "msgpack")):
            log.behaviour[(module, "dumps")] = lambda value: Wire(b"wire")
            setattr(msg, codec, {})
            assert (msg.content_type, msg.body) == (codec, b"wire")
    """,
        FAKES,
    )


def test_a_failed_lookup_is_retried_until_it_works(tmp_path):
    broken_once = FAKE_CODEC + textwrap.dedent("""
        log.imports = getattr(log, "imports", 0) + 1
        if log.imports == 1:
            raise RuntimeError("orjson is not ready yet")
    """)
    run_python(
        tmp_path,
        """
        msg.content_type, msg.body = "kept", b"[]"
        error = raises(RuntimeError, lambda: setattr(msg, "json", {}))
        assert str(error) == "orjson is not ready yet"
        sys.modules["orjson"] = None  # import now refused
        for action in (lambda: msg.json, lambda: setattr(msg, "json", {})):
            for _ in range(2):
                assert "halted" in str(raises(ModuleNotFoundError, action))
        assert (msg.content_type, msg.body) == ("kept", b"[]")
        msg.msgpack = {"other": "codec"}  # untouched by orjson's troubles
        assert msg.msgpack == {"other": "codec"}

        del sys.modules["orjson"]
        log.missing.add(("orjson", "loads"))
        assert "'loads'" in str(raises(AttributeError, lambda: msg.json))
        msg.json = {"a": 1}  # the encoder slot fills on its own
        log.missing.clear()
        assert msg.json == {"a": 1} and log.imports == 2

        sys.modules["orjson"] = None  # both slots are full: no import any more
        msg.json = {"b": 2}
        assert msg.json == {"b": 2}
        assert [name for module, name in log.lookups if module == "orjson"] == ["dumps", "loads"]
        assert sys.modules["zelmsg"] is zelmsg
    """,
        {"orjson": broken_once, "msgpack": FAKE_CODEC},
    )


def test_two_threads_meeting_an_empty_slot_during_an_import_share_one_function(tmp_path):
    # The first import parks in the module body until the second thread has entered the
    # import machinery for the same module, so both met the slot empty.
    slow_orjson = FAKE_CODEC + textwrap.dedent("""
        log.importing.set()
        log.second_arrived.wait(30)
    """)
    run_python(
        tmp_path,
        """
        import threading
        log.importing, log.second_arrived, errors = threading.Event(), threading.Event(), []

        def second_arrival(frame, event, arg):
            if event == "call" and frame.f_code.co_filename.startswith("<frozen importlib"):
                log.second_arrived.set()

        def encode(watch_import):
            if watch_import:
                sys.setprofile(second_arrival)
            try:
                zelmsg.ZelMsg().json = {"a": 1}
            except BaseException as error:
                errors.append(error)

        first, second = (threading.Thread(target=encode, args=(watch,)) for watch in (False, True))
        first.start()
        assert log.importing.wait(30)
        second.start()
        first.join(), second.join()
        assert errors == [] and log.second_arrived.is_set()
        msg.json = {"b": 2}  # and later uses keep the same function
        assert len(log.used) == 3 and all(f is log.used[0] for f in log.used), log.lookups
    """,
        {"orjson": slow_orjson, "msgpack": FAKE_CODEC},
    )

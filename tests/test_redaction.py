"""The password given to init never appears in the text of an exception init raises: the
binding library's TypeError for arguments it cannot convert keeps its shape (the method,
its signature, every argument given) with the password argument shown as '***'."""
from __future__ import annotations

import pytest

import tarnu_sdk

SECRET = "S3cret-\u00e9-value"
BASE = ("tarnu-redaction", "127.0.0.1:1", "tcp", "user")


def message_of(call) -> str:
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


@pytest.mark.parametrize("shape", ["positional", "keyword"])
@pytest.mark.parametrize("bad", [dict(keepAlive="x"), dict(cleanSession="no"), dict(bogus=1),
                                 dict(edition=7)])
def test_the_message_is_the_libraries_with_the_password_shown_as_stars(shape, bad):
    client = tarnu_sdk.SDK()

    def call(password):
        if shape == "positional":
            return lambda: client.init(*BASE, password, **bad)
        names = ("clientId", "brokerHost", "protocol", "username")
        return lambda: client.init(**dict(zip(names, BASE)), password=password, **bad)

    redacted = message_of(call(SECRET))
    # The same call with '***' as the password is what the library itself writes.
    assert redacted == message_of(call("***"))
    assert SECRET not in redacted and "'***'" in redacted
    assert redacted.startswith("init(): incompatible function arguments.")
    assert "password: str" in redacted and "\nInvoked with: <tarnu_sdk.SDK object at " in redacted


@pytest.mark.parametrize("password", [b"raw-bytes-secret", 987654321, ["list-secret"], None,
                                      "\ud800surrogate-secret"])
def test_a_password_of_any_type_never_appears_in_an_init_error(password):
    client = tarnu_sdk.SDK()
    texts = [message_of(lambda: client.init(*BASE, password, keepAlive=2**40)),
             message_of(lambda: client.init(*BASE, password=password, nope=True))]
    if not isinstance(password, bytes):  # bytes convert: the others fail on the password alone
        texts.append(message_of(lambda: client.init(*BASE, password)))
    for text in texts:
        assert "secret" not in text.lower() and "987654321" not in text, text
        assert "'***'" in text


def test_other_methods_keep_the_librarys_message_and_a_valid_init_still_works(broker):
    client = tarnu_sdk.SDK()
    text = message_of(lambda: client.publish("a/b", "payload-shown", qos="x"))
    assert "Invoked with: <tarnu_sdk.SDK object at" in text and "'payload-shown'" in text
    client.init("tarnu-redaction-ok", broker.address, "tcp", "", "")
    assert client.connect() is True
    client.stop()

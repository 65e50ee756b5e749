# SPDX-License-Identifier: MIT
"""aimheadd with its ONVIF port on a simulated head, and a SOAP client of
our own that signs requests as ONVIF clients do, for the ONVIF tests. The
processes are web_support's: every wait bounded, only our children signalled."""

from __future__ import annotations

import base64
import datetime
import hashlib
import http.client
import os
import re
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path
from typing import Dict, List, Optional, Tuple

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "web"))

from web_support import AIMHEADD, START_TIMEOUT, Child, Simulator, fresh_directory, wait_for  # noqa: E402,F401

USER = "operator"
PASSWORD = "s3cret-Pa55"

NAMESPACES = {
    "s": "http://www.w3.org/2003/05/soap-envelope",
    "s11": "http://schemas.xmlsoap.org/soap/envelope/",
    "tds": "http://www.onvif.org/ver10/device/wsdl",
    "trt": "http://www.onvif.org/ver10/media/wsdl",
    "tptz": "http://www.onvif.org/ver20/ptz/wsdl",
    "tt": "http://www.onvif.org/ver10/schema",
    "ter": "http://www.onvif.org/ver10/error",
}
SOAP12 = NAMESPACES["s"]
SOAP11 = NAMESPACES["s11"]


def credentials_file(directory: Path) -> Path:
    path = directory / "onvif-credentials"
    path.write_text(f"{USER}:{PASSWORD}\n")
    path.chmod(0o600)
    return path


class OnvifDaemon(Child):
    """aimheadd with --onvif on a free loopback port; url names its device service."""

    def __init__(self, directory: Path, device: Path, options: Optional[List[str]] = None,
                 credentials: bool = True) -> None:
        # Where aimhead finds it with XDG_CONFIG_HOME=directory/config.
        self.presets = directory / "config" / "aimhead" / "presets.json"
        argv = [str(AIMHEADD), "-d", str(device), "-s", str(directory / "socket"), "--presets", str(self.presets),
                "--onvif", "127.0.0.1:0"]
        if credentials:
            argv += ["--onvif-credentials", str(credentials_file(directory))]
        super().__init__(argv + (options or []), directory / "aimheadd.log")
        found = wait_for(lambda: re.search(r"ONVIF device on (http://\S+)", self.errors())
                         or self.process.poll() is not None, START_TIMEOUT, "aimheadd's ONVIF port")
        if found is True:
            raise RuntimeError(f"aimheadd ended with {self.process.returncode}: {self.errors()}")
        self.url = found.group(1)
        self.port = int(self.url.split(":")[2].split("/")[0])
        wait_for(self.position_known, START_TIMEOUT, "the head's first position")

    def position_known(self) -> bool:
        """Moves before the head's first report are refused: tests start after it."""
        _, body = call(self.port, "<tptz:GetStatus><tptz:ProfileToken>aimhead</tptz:ProfileToken></tptz:GetStatus>")
        return body.find(".//tt:Position/tt:PanTilt", NAMESPACES) is not None


def utc_now(offset: datetime.timedelta = datetime.timedelta(0)) -> str:
    return (datetime.datetime.now(datetime.timezone.utc) + offset).strftime("%Y-%m-%dT%H:%M:%S.000Z")


def security_header(user: str = USER, password: str = PASSWORD, nonce: Optional[bytes] = None,
                    created: Optional[str] = None) -> str:
    """A WS-UsernameToken with a PasswordDigest, as every ONVIF client sends it."""
    nonce = nonce if nonce is not None else os.urandom(16)
    created = created or utc_now()
    digest = base64.b64encode(hashlib.sha1(nonce + created.encode() + password.encode()).digest()).decode()
    return (
        '<wsse:Security xmlns:wsse="http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd"'
        ' xmlns:wsu="http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd">'
        f"<wsse:UsernameToken><wsse:Username>{user}</wsse:Username>"
        '<wsse:Password Type="http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0'
        f'#PasswordDigest">{digest}</wsse:Password>'
        f"<wsse:Nonce>{base64.b64encode(nonce).decode()}</wsse:Nonce>"
        f"<wsu:Created>{created}</wsu:Created></wsse:UsernameToken></wsse:Security>")


def envelope(body: str, header: str = "", soap: str = SOAP12) -> str:
    return (f'<?xml version="1.0" encoding="UTF-8"?><s:Envelope xmlns:s="{soap}"'
            ' xmlns:tds="http://www.onvif.org/ver10/device/wsdl" xmlns:trt="http://www.onvif.org/ver10/media/wsdl"'
            ' xmlns:tptz="http://www.onvif.org/ver20/ptz/wsdl" xmlns:tt="http://www.onvif.org/ver10/schema">'
            f"<s:Header>{header}</s:Header><s:Body>{body}</s:Body></s:Envelope>")


def post(port: int, data: bytes, path: str = "/onvif/device_service", headers: Optional[Dict[str, str]] = None,
         host: Optional[str] = None) -> Tuple[int, str]:
    """One POST on 127.0.0.1: the status and the body."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        sent = {"Content-Type": "application/soap+xml; charset=utf-8", **(headers or {})}
        if host is not None:
            connection.putrequest("POST", path, skip_host=True)
            connection.putheader("Host", host)
            for name, value in sent.items():
                connection.putheader(name, value)
            connection.putheader("Content-Length", str(len(data)))
            connection.endheaders(data)
        else:
            connection.request("POST", path, body=data, headers=sent)
        response = connection.getresponse()
        return response.status, response.read().decode(errors="replace")
    finally:
        connection.close()


def call(port: int, body: str, signed: bool = True, soap: str = SOAP12, path: str = "/onvif/device_service",
         action: Optional[str] = None, header: Optional[str] = None) -> Tuple[int, ElementTree.Element]:
    """A SOAP request, signed unless asked otherwise: the status and the reply's Body."""
    header = header if header is not None else (security_header() if signed else "")
    kind = "application/soap+xml; charset=utf-8" if soap == SOAP12 else "text/xml; charset=utf-8"
    headers = {"Content-Type": kind + (f'; action="{action}"' if action and soap == SOAP12 else "")}
    if action and soap == SOAP11:
        headers["SOAPAction"] = f'"{action}"'
    status, text = post(port, envelope(body, header, soap).encode(), path, headers)
    root = ElementTree.fromstring(text)
    found = root.find(f"{{{soap}}}Body")
    assert found is not None, text
    return status, found


def fault_subcode(body: ElementTree.Element) -> str:
    """The innermost ter: subcode of a SOAP 1.2 fault, as "ter:Name"."""
    values = [value.text or "" for value in body.iter(f"{{{SOAP12}}}Value")]
    return values[-1] if values else ""


def first(body: ElementTree.Element, path: str) -> ElementTree.Element:
    found = body.find(path, NAMESPACES)
    assert found is not None, f"{path} in {ElementTree.tostring(body).decode()}"
    return found

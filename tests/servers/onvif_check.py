#!/usr/bin/python3
"""Checks the ONVIF cameras of onvif_server.py with clients that are not ours.

1. SOAP calls posted by python-requests, signed by python3-zeep's
   WS-Security UsernameToken (PasswordDigest) or logged in by requests'
   HTTP Digest, answers read with lxml, against the cameras of the running
   test servers (ORVELLA_ONVIF_PORT and friends; run it through
   with_servers.py). Snapshot URIs are fetched from the HTTP server.
2. libonvif's onvif-util (onvif-tools), which finds a camera only by
   multicast WS-Discovery. It runs in a network namespace of its own
   (unshare --net: loopback only, multicast routed to lo, so no probe
   leaves the machine) against one camera per mode started there. Outside
   such a namespace its probe would go out on the default route: never run
   it so.

Exit status 0 when all pass, 1 when one fails, 77 (skipped) when part 1
passes but no network namespace can be made (not root).
"""
import datetime
import os
import re
import socket
import subprocess
import sys
import uuid

import requests
from lxml import etree
from requests.auth import HTTPDigestAuth
from zeep.wsse.username import UsernameToken

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from onvif_server import PASSWORD, USER  # noqa: E402

# Written out here, not taken from the server: a wrong name there must fail.
NS = {
    "s": "http://www.w3.org/2003/05/soap-envelope",
    "tt": "http://www.onvif.org/ver10/schema",
    "tds": "http://www.onvif.org/ver10/device/wsdl",
    "trt": "http://www.onvif.org/ver10/media/wsdl",
    "tr2": "http://www.onvif.org/ver20/media/wsdl",
    "a": "http://schemas.xmlsoap.org/ws/2004/08/addressing",
    "d": "http://schemas.xmlsoap.org/ws/2005/04/discovery",
    "dn": "http://www.onvif.org/ver10/network/wsdl",
}
ENV = os.environ
HOST = "127.0.0.1"
PORT = int(ENV.get("ORVELLA_ONVIF_PORT", "0"))
HTTP_PORT, RTSP_PORT = int(ENV.get("ORVELLA_HTTP_PORT", "0")), int(ENV.get("ORVELLA_RTSP_PORT", "0"))
SKIPPED = 77

ENVELOPE = ('<s:Envelope xmlns:s="%(s)s" xmlns:tds="%(tds)s" xmlns:trt="%(trt)s" xmlns:tr2="%(tr2)s" '
            'xmlns:tt="%(tt)s"><s:Header/><s:Body>%%s</s:Body></s:Envelope>' % NS)
TIME = "<tds:GetSystemDateAndTime/>"
INFO = "<tds:GetDeviceInformation/>"
SERVICES = "<tds:GetServices><tds:IncludeCapability>%s</tds:IncludeCapability></tds:GetServices>"
M1_SNAP = "<trt:GetSnapshotUri><trt:ProfileToken>%s</trt:ProfileToken></trt:GetSnapshotUri>"
M1_STREAM = ("<trt:GetStreamUri><trt:StreamSetup><tt:Stream>RTP-Unicast</tt:Stream><tt:Transport><tt:Protocol>RTSP"
             "</tt:Protocol></tt:Transport></trt:StreamSetup><trt:ProfileToken>%s</trt:ProfileToken></trt:GetStreamUri>")
M2_PROFILES = "<tr2:GetProfiles><tr2:Type>All</tr2:Type></tr2:GetProfiles>"
M2_SNAP = "<tr2:GetSnapshotUri><tr2:ProfileToken>%s</tr2:ProfileToken></tr2:GetSnapshotUri>"
M2_STREAM = "<tr2:GetStreamUri><tr2:Protocol>RTSP</tr2:Protocol><tr2:ProfileToken>%s</tr2:ProfileToken></tr2:GetStreamUri>"


def base(mode):
    return "http://%s:%d%s/onvif/" % (HOST, PORT, "" if mode == "wsse" else "/cam/" + mode)


def post(mode, service, body, login=None, timeout=30):
    """The answer to a SOAP request: (status, lxml tree or None)."""
    envelope = etree.fromstring(ENVELOPE % body)
    headers = {"Content-Type": "application/soap+xml; charset=utf-8"}
    auth = None
    if login and login.startswith("wsse"):
        created = camera_clock(mode) if login != "wsse-local-clock" else datetime.datetime.utcnow()
        password = "wrong" if login == "wsse-wrong" else PASSWORD
        token = UsernameToken(USER, password, use_digest=login != "wsse-text", created=created)
        envelope, headers = token.apply(envelope, headers)
    elif login:
        auth = HTTPDigestAuth(USER, "wrong" if login == "digest-wrong" else PASSWORD)
    r = requests.post(base(mode) + service, data=etree.tostring(envelope), headers=headers, auth=auth,
                      timeout=timeout)
    doc = etree.fromstring(r.content) if r.content.strip() else None
    return r, doc


def camera_clock(mode):
    """The camera's UTC time, as its GetSystemDateAndTime tells (no login)."""
    _, doc = post(mode, "device_service", TIME)
    v = {k: int(doc.xpath("//tt:UTCDateTime//tt:%s/text()" % k, namespaces=NS)[0])
         for k in ("Year", "Month", "Day", "Hour", "Minute", "Second")}
    return datetime.datetime(v["Year"], v["Month"], v["Day"], v["Hour"], v["Minute"], v["Second"])


def ask(mode, service, body, login, *paths):
    """(status, what each XPath finds as a list of strings)."""
    r, doc = post(mode, service, body, login)
    found = [[str(x if isinstance(x, str) else x.text) for x in doc.xpath(p, namespaces=NS)] if doc is not None
             else [] for p in paths]
    return (r.status_code, *found)


def fault(mode, service, body, login=None):
    r, doc = post(mode, service, body, login)
    return r.status_code, doc.xpath("//s:Subcode/s:Value/text()", namespaces=NS) if doc is not None else []


def clock_ahead(mode):
    ahead = (camera_clock(mode) - datetime.datetime.utcnow()).total_seconds()
    return round(ahead / 60) * 60  # whole minutes: the check's own delay does not count


def digest_challenge(mode):
    r, _ = post(mode, "device_service", INFO, "wsse")
    return r.status_code, r.headers.get("WWW-Authenticate", "").split(" ")[0]


def picture(uri):
    """(size, bytes) of the JPEG at a snapshot URI, blanks around it dropped."""
    from PIL import Image
    import io
    data = requests.get(uri.strip(), timeout=30).content
    return Image.open(io.BytesIO(data)).size, data


def two_pictures():
    uris = [ask("two-profiles", "media_service", M1_SNAP % t, "wsse", "//tt:Uri/text()")[1][0]
            for t in ("profile_1", "profile_2")]
    (size1, data1), (size2, data2) = picture(uris[0]), picture(uris[1])
    return size1, size2, data1 != data2


def dirty_uri(service, body):
    uri = ask("dirty-uris", service, body, "wsse", "//tt:Uri/text()|//tr2:Uri/text()")[1][0]
    return uri != uri.strip(), "\r" in uri, uri.strip()


def silent():
    try:
        post("silent", "device_service", TIME, timeout=(10, 1))
        return "answered"
    except requests.exceptions.ReadTimeout:
        return "no answer"


def probe():
    """The XAddrs of the ProbeMatches to a unicast Probe."""
    message = ('<s:Envelope xmlns:s="%(s)s" xmlns:a="%(a)s" xmlns:d="%(d)s" xmlns:dn="%(dn)s"><s:Header>'
               '<a:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/Probe</a:Action><a:MessageID>urn:uuid:%%s'
               '</a:MessageID><a:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</a:To></s:Header><s:Body><d:Probe>'
               '<d:Types>dn:NetworkVideoTransmitter</d:Types></d:Probe></s:Body></s:Envelope>' % NS) % uuid.uuid4()
    cameras = [m for m in MODES if m != "silent"]
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.settimeout(30)
        sock.sendto(message.encode(), (HOST, int(ENV["ORVELLA_ONVIF_DISCOVERY_PORT"])))
        found, types = set(), set()
        for _ in cameras:
            doc = etree.fromstring(sock.recvfrom(65536)[0])
            found.update(doc.xpath("//d:XAddrs/text()", namespaces=NS))
            for t in doc.xpath("//d:Types", namespaces=NS):
                prefix, _, name = t.text.strip().rpartition(":")
                types.add("{%s}%s" % (t.nsmap.get(prefix or None), name))
    return found == {base(m) + "device_service" for m in cameras}, types


def log_check():
    with open(ENV["ORVELLA_ONVIF_LOG"]) as f:
        text = f.read()
    return "GetDeviceInformation auth=ok 200" in text, PASSWORD in text


MODES = ("wsse", "digest", "media", "media2", "two-profiles", "dirty-uris", "no-snapshot", "silent")
NOT_AUTHORIZED = (400, ["ter:NotAuthorized"])
RTSP = "rtsp://%s:%d/" % (HOST, RTSP_PORT)
SNAP = "http://%s:%d/files/" % (HOST, HTTP_PORT)


def cases():
    """(what, observe, expected): observe() is compared with expected."""
    devices = "//tds:Service/tds:XAddr/text()"
    return [
        ("time needs no login; the clock runs 3 h ahead", lambda: clock_ahead("wsse"), 3 * 3600),
        ("no login: NotAuthorized", lambda: fault("wsse", "device_service", INFO), NOT_AUTHORIZED),
        ("digest on the local clock: NotAuthorized", lambda: fault("wsse", "device_service", INFO,
                                                                   "wsse-local-clock"), NOT_AUTHORIZED),
        ("wrong password: NotAuthorized", lambda: fault("wsse", "device_service", INFO, "wsse-wrong"),
         NOT_AUTHORIZED),
        ("password as text: NotAuthorized", lambda: fault("wsse", "device_service", INFO, "wsse-text"),
         NOT_AUTHORIZED),
        ("device information on the camera's clock", lambda: ask(
            "wsse", "device_service", INFO, "wsse", "//tds:Manufacturer/text()", "//tds:Model/text()"),
         (200, ["Orvella"], ["SimCam"])),
        ("services: absolute XAddrs, no capabilities", lambda: ask(
            "wsse", "device_service", SERVICES % "false", "wsse", devices, "//tds:Capabilities"),
         (200, [base("wsse") + s for s in ("device_service", "media_service", "media2_service")], [])),
        ("services with capabilities", lambda: ask(
            "wsse", "device_service", SERVICES % "true", "wsse", "//tr2:Capabilities/@SnapshotUri",
            "//tds:Security/@UsernameToken"), (200, ["true"], ["true"])),
        ("capabilities: the media XAddr", lambda: ask(
            "wsse", "device_service", "<tds:GetCapabilities><tds:Category>All</tds:Category></tds:GetCapabilities>",
            "wsse", "//tt:Media/tt:XAddr/text()"), (200, [base("wsse") + "media_service"])),
        ("media profiles", lambda: ask("wsse", "media_service", "<trt:GetProfiles/>", "wsse", "//trt:Profiles/@token",
                                       "//tt:Encoding/text()", "//tt:Resolution/tt:Width/text()"),
         (200, ["profile_1"], ["H264"], ["640"])),
        ("media stream URI", lambda: ask("wsse", "media_service", M1_STREAM % "profile_1", "wsse",
                                         "//tt:Uri/text()"), (200, [RTSP + "h264"])),
        ("media snapshot URI", lambda: ask("wsse", "media_service", M1_SNAP % "profile_1", "wsse",
                                           "//tt:Uri/text()"), (200, [SNAP + "pattern_640x480.jpg"])),
        ("unknown profile", lambda: fault("wsse", "media_service", M1_SNAP % "nope", "wsse"),
         (400, ["ter:InvalidArgVal", "ter:NoProfile"])),
        ("digest camera: WS-Security gets a Digest challenge", lambda: digest_challenge("digest"), (401, "Digest")),
        ("digest camera: wrong password", lambda: ask("digest", "device_service", INFO, "digest-wrong"), (401,)),
        ("digest camera: HTTP Digest login", lambda: ask("digest", "device_service", INFO, "digest",
                                                         "//tds:SerialNumber/text()"), (200, ["SIM-DIGEST"])),
        ("media-only camera: no Media2 service", lambda: ask(
            "media", "device_service", SERVICES % "false", "wsse", "//tds:Namespace/text()"),
         (200, [NS["tds"], NS["trt"]])),
        ("media-only camera: Media2 path absent", lambda: ask("media", "media2_service", M2_PROFILES, "wsse"),
         (404,)),
        ("media2 camera: H.265 and H.264 profiles", lambda: ask(
            "media2", "media2_service", M2_PROFILES, "wsse", "//tr2:Profiles/@token", "//tt:Encoding/text()"),
         (200, ["profile_h265", "profile_1"], ["H265", "H264"])),
        ("media2 camera: only H.264 in Media", lambda: ask(
            "media2", "media_service", "<trt:GetProfiles/>", "wsse", "//tt:Encoding/text()"), (200, ["H264"])),
        ("media2 camera: H.265 stream URI", lambda: ask(
            "media2", "media2_service", M2_STREAM % "profile_h265", "wsse", "//tr2:Uri/text()"),
         (200, [RTSP + "h265"])),
        ("media2 snapshot URI", lambda: ask("media2", "media2_service", M2_SNAP % "profile_h265", "wsse",
                                            "//tr2:Uri/text()"), (200, [SNAP + "pattern_640x480.jpg"])),
        ("two profiles: two different pictures", two_pictures, ((640, 480), (320, 240), True)),
        ("dirty snapshot URI (Media)", lambda: dirty_uri("media_service", M1_SNAP % "profile_1"),
         (True, True, SNAP + "pattern_640x480.jpg")),
        ("dirty stream URI (Media2)", lambda: dirty_uri("media2_service", M2_STREAM % "profile_1"),
         (True, True, RTSP + "h264")),
        ("no snapshot: Media faults", lambda: fault("no-snapshot", "media_service", M1_SNAP % "profile_1", "wsse"),
         (500, ["ter:ActionNotSupported"])),
        ("no snapshot: Media2 answers an empty URI", lambda: ask(
            "no-snapshot", "media2_service", M2_SNAP % "profile_1", "wsse", "//tr2:Uri/text()"), (200, [])),
        ("silent camera", silent, "no answer"),
        ("unicast discovery: every camera but the silent one", probe,
         (True, {"{%s}NetworkVideoTransmitter" % NS["dn"]})),
        ("the log counts requests and holds no password", log_check, (True, False)),
    ]


# --- onvif-util in a network namespace --------------------------------------------

UTIL_CASES = [  # mode, commands, patterns its output must show
    ("wsse", "get profiles\nget rtsp\nget time\n",
     [r"name: +SimCam", r"serial: SIM-WSSE", r"Token 0: profile_1", re.escape(RTSP + "h264"),
      r"Time Offset: 10(799|800|801) seconds"]),
    ("media", "get profiles\nget profile\n", [r"serial: SIM-MEDIA", r"Token 0: profile_1\n\n", r"Width: +640"]),
    ("media2", "get profiles\nget rtsp\n", [r"Token 0: profile_1\n\n", re.escape(RTSP + "h264")]),
    ("two-profiles", "get profiles\nget profile 1\n",
     [r"Token 0: profile_1\n +Token 1: profile_2", r"Width: +320\n +Height: +240"]),
    ("dirty-uris", "get rtsp\n", [r"\s" + re.escape(RTSP + "h264") + r"\t"]),
    ("no-snapshot", "dump\n", [r"Profiles.VideoEncoderConfiguration.Encoding=H264"]),
    ("digest", "", [r"ERROR: get device information"]),  # it speaks WS-Security only
]


def in_namespace():
    """Runs onvif-util against each mode's camera; we are in a fresh network namespace."""
    for args in (["link", "set", "lo", "up"], ["link", "set", "lo", "multicast", "on"],
                 ["route", "add", "224.0.0.0/4", "dev", "lo", "src", "127.0.0.1"]):
        subprocess.check_call(["ip"] + args)
    failed = 0
    for mode, commands, patterns in UTIL_CASES:
        out = util_session(mode, commands)
        missing = [p for p in patterns if not re.search(p, out)]
        print("%s: onvif-util with the %s camera" % ("FAIL" if missing else "ok", mode), flush=True)
        if missing:
            print("  missing %s in:\n%s" % (missing, out), flush=True)
            failed += 1
    return failed


def util_session(mode, commands):
    server = subprocess.Popen([sys.executable, os.path.join(HERE, "onvif_server.py"), "--multicast", "--advertise",
                               mode, "--http-port", str(HTTP_PORT), "--rtsp-port", str(RTSP_PORT)],
                              stdout=subprocess.PIPE, text=True)
    try:
        server.stdout.readline()  # serving
        for _ in range(3):  # it waits half a second for answers; a loaded machine may miss that
            run = subprocess.run(["onvif-util", "-u", USER, "-p", PASSWORD, HOST], input=commands + "quit\n",
                                 capture_output=True, text=True, timeout=60)
            if "found host" in run.stdout:
                break
        return run.stdout + run.stderr
    finally:
        server.terminate()
        server.wait()


def main():
    if sys.argv[1:] == ["--in-namespace"]:
        return in_namespace()
    if not PORT:
        print("no ORVELLA_ONVIF_PORT: run through with_servers.py")
        return 1
    failed = 0
    for what, observe, expected in cases():
        try:
            got = observe()
        except Exception as e:  # a check that breaks is a failed check
            got = "%s: %s" % (type(e).__name__, e)
        if got != expected:
            failed += 1
        print("%s: %s" % ("ok" if got == expected else "FAIL", what), flush=True)
        if got != expected:
            print("  got      %r\n  expected %r" % (got, expected), flush=True)
    if subprocess.run(["unshare", "--net", "true"], capture_output=True).returncode != 0:
        print("skipped: onvif-util (no network namespace: unshare --net needs root)")
        return 1 if failed else SKIPPED
    failed += subprocess.run(["unshare", "--net", sys.executable, os.path.abspath(__file__),
                              "--in-namespace"]).returncode
    print("%d passed, %d failed" % (len(cases()) + len(UTIL_CASES) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

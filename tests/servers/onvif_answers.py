"""The SOAP answers of onvif_server.py's cameras and their WS-Discovery
ProbeMatches, as text."""
import datetime
import uuid
import xml.etree.ElementTree as ET
from collections import namedtuple
from xml.sax.saxutils import escape

NS = {
    "s": "http://www.w3.org/2003/05/soap-envelope",
    "tt": "http://www.onvif.org/ver10/schema",
    "tds": "http://www.onvif.org/ver10/device/wsdl",
    "trt": "http://www.onvif.org/ver10/media/wsdl",
    "tr2": "http://www.onvif.org/ver20/media/wsdl",
    "ter": "http://www.onvif.org/ver10/error",
    "wsse": "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd",
    "wsu": "http://docs.oasis-open.org/wss/2004/01/oasis-200401-wss-wssecurity-utility-1.0.xsd",
    "a": "http://schemas.xmlsoap.org/ws/2004/08/addressing",
    "d": "http://schemas.xmlsoap.org/ws/2005/04/discovery",
    "dn": "http://www.onvif.org/ver10/network/wsdl",
}
_DECLS = " ".join('xmlns:%s="%s"' % kv for kv in NS.items() if kv[0] not in ("wsse", "wsu"))

Profile = namedtuple("Profile", "token name encoding width height picture mount")
MAIN = Profile("profile_1", "MainStream", "H264", 640, 480, "pattern_640x480.jpg", "h264")
SUB = Profile("profile_2", "SubStream", "JPEG", 320, 240, "pattern_320x240.jpg", "h264")
H265 = Profile("profile_h265", "MainStreamH265", "H265", 640, 480, "pattern_640x480.jpg", "h265")
MEDIA1_ENCODINGS = ("JPEG", "MPEG4", "H264")

Context = namedtuple("Context", "host port prefix http_port rtsp_port cam time_now mode snapshot_uri",
                     defaults=(None,))


class Refused(Exception):
    def __init__(self, status, code, *subcodes):
        super().__init__(subcodes[-1])
        self.status, self.code, self.subcodes = status, code, subcodes


def text(value):
    """Element text, with CR kept as a character reference (a parser turns a raw CR into LF)."""
    return escape(str(value)).replace("\r", "&#13;")


def envelope(body):
    return '<?xml version="1.0" encoding="UTF-8"?>\n<s:Envelope %s><s:Body>%s</s:Body></s:Envelope>' % (_DECLS, body)


def fault(code, subcodes, reason):
    sub = ""
    for s in reversed(subcodes.split()):
        sub = "<s:Subcode><s:Value>%s</s:Value>%s</s:Subcode>" % (s, sub)
    return envelope('<s:Fault><s:Code><s:Value>s:%s</s:Value>%s</s:Code><s:Reason><s:Text xml:lang="en">%s'
                    '</s:Text></s:Reason></s:Fault>' % (code, sub, text(reason)))


def xaddr(ctx, service):
    return "http://%s:%d%s/onvif/%s" % (ctx.host, ctx.port, ctx.prefix, service)


def child_text(element, path, default=""):
    found = element.find(path, NS)
    return found.text.strip() if found is not None and found.text else default


# --- device service -----------------------------------------------------------

def date_and_time(ctx, _request):
    t = datetime.datetime.fromtimestamp(ctx.time_now, datetime.timezone.utc)
    stamp = ("<tt:Time><tt:Hour>%d</tt:Hour><tt:Minute>%d</tt:Minute><tt:Second>%d</tt:Second></tt:Time>"
             "<tt:Date><tt:Year>%d</tt:Year><tt:Month>%d</tt:Month><tt:Day>%d</tt:Day></tt:Date>"
             % (t.hour, t.minute, t.second, t.year, t.month, t.day))
    return ("<tds:GetSystemDateAndTimeResponse><tds:SystemDateAndTime><tt:DateTimeType>Manual</tt:DateTimeType>"
            "<tt:DaylightSavings>false</tt:DaylightSavings><tt:TimeZone><tt:TZ>UTC0</tt:TZ></tt:TimeZone>"
            "<tt:UTCDateTime>%s</tt:UTCDateTime><tt:LocalDateTime>%s</tt:LocalDateTime>"
            "</tds:SystemDateAndTime></tds:GetSystemDateAndTimeResponse>" % (stamp, stamp))


def device_information(ctx, _request):
    return ("<tds:GetDeviceInformationResponse><tds:Manufacturer>Orvella</tds:Manufacturer><tds:Model>SimCam"
            "</tds:Model><tds:FirmwareVersion>2.6.1</tds:FirmwareVersion><tds:SerialNumber>SIM-%s</tds:SerialNumber>"
            "<tds:HardwareId>SC-100</tds:HardwareId></tds:GetDeviceInformationResponse>" % text(ctx.mode.upper()))


def service_capabilities(ctx, service):
    cam = ctx.cam
    if service == "device":
        return ('<tds:Capabilities><tds:Network IPFilter="false" ZeroConfiguration="false" IPVersion6="false" '
                'DynDNS="false"/><tds:Security UsernameToken="%s" HttpDigest="%s"/><tds:System '
                'DiscoveryResolve="true" DiscoveryBye="true" RemoteDiscovery="false" SystemBackup="false" '
                'SystemLogging="false" FirmwareUpgrade="false"/></tds:Capabilities>'
                % (str(cam.auth == "wsse").lower(), str(cam.auth == "digest").lower()))
    snapshot = str(cam.snapshot).lower()
    if service == "media":
        return ('<trt:Capabilities SnapshotUri="%s" Rotation="false" VideoSourceMode="false" OSD="false">'
                '<trt:ProfileCapabilities MaximumNumberOfProfiles="4"/><trt:StreamingCapabilities '
                'RTPMulticast="false" RTP_TCP="true" RTP_RTSP_TCP="true"/></trt:Capabilities>' % snapshot)
    return ('<tr2:Capabilities SnapshotUri="%s" Rotation="false" VideoSourceMode="false" OSD="false">'
            '<tr2:ProfileCapabilities MaximumNumberOfProfiles="4" ConfigurationsSupported="VideoSource '
            'VideoEncoder"/><tr2:StreamingCapabilities RTSPStreaming="true" RTPMulticast="false" '
            'RTP_RTSP_TCP="true"/></tr2:Capabilities>' % snapshot)


def services(ctx, request):
    with_caps = child_text(request, "tds:IncludeCapability").lower() in ("true", "1")
    wanted = [("device", "tds", "device_service", 2, 60), ("media", "trt", "media_service", 2, 60)]
    if ctx.cam.media2:
        wanted.append(("media2", "tr2", "media2_service", 2, 60))
    out = []
    for service, prefix, path, major, minor in wanted:
        caps = "<tds:Capabilities>%s</tds:Capabilities>" % service_capabilities(ctx, service) if with_caps else ""
        out.append("<tds:Service><tds:Namespace>%s</tds:Namespace><tds:XAddr>%s</tds:XAddr>%s<tds:Version>"
                   "<tt:Major>%d</tt:Major><tt:Minor>%d</tt:Minor></tds:Version></tds:Service>"
                   % (NS[prefix], xaddr(ctx, path), caps, major, minor))
    return "<tds:GetServicesResponse>%s</tds:GetServicesResponse>" % "".join(out)


def capabilities(ctx, request):
    categories = {c.text.strip() for c in request.findall("tds:Category", NS) if c.text} or {"All"}
    if not categories <= {"All", "Device", "Media"}:
        raise Refused(500, "Receiver", "ter:ActionNotSupported", "ter:NoSuchService")
    out = ""
    if categories & {"All", "Device"}:
        out += "<tt:Device><tt:XAddr>%s</tt:XAddr></tt:Device>" % xaddr(ctx, "device_service")
    if categories & {"All", "Media"}:
        out += ("<tt:Media><tt:XAddr>%s</tt:XAddr><tt:StreamingCapabilities><tt:RTPMulticast>false"
                "</tt:RTPMulticast><tt:RTP_TCP>true</tt:RTP_TCP><tt:RTP_RTSP_TCP>true</tt:RTP_RTSP_TCP>"
                "</tt:StreamingCapabilities></tt:Media>" % xaddr(ctx, "media_service"))
    return "<tds:GetCapabilitiesResponse><tds:Capabilities>%s</tds:Capabilities></tds:GetCapabilitiesResponse>" % out


# --- media (ver10) and media2 (ver20) ---------------------------------------------

def profile(ctx, token, media1):
    for p in ctx.cam.profiles:
        if p.token == token and (not media1 or p.encoding in MEDIA1_ENCODINGS):
            return p
    raise Refused(400, "Sender", "ter:InvalidArgVal", "ter:NoProfile")


def snapshot_uri(ctx, p):
    uri = ctx.snapshot_uri or "http://%s:%d/files/%s" % (ctx.host, ctx.http_port, p.picture)
    return " \t%s \r\n" % uri if ctx.cam.dirty else uri


def stream_uri(ctx, p):
    uri = "rtsp://%s:%d/%s" % (ctx.host, ctx.rtsp_port, p.mount)
    return "\r\n  %s\t \n" % uri if ctx.cam.dirty else uri


def source_config(ns):
    return ('<%s token="source_config"><tt:Name>VideoSourceConfig</tt:Name><tt:UseCount>2</tt:UseCount>'
            '<tt:SourceToken>video_source</tt:SourceToken><tt:Bounds x="0" y="0" width="640" height="480"/></%s>'
            % (ns, ns))


def media1_encoder(p):
    h264 = ("<tt:H264><tt:GovLength>25</tt:GovLength><tt:H264Profile>Main</tt:H264Profile></tt:H264>"
            if p.encoding == "H264" else "")
    return ('<tt:VideoEncoderConfiguration token="encoder_%s"><tt:Name>%s</tt:Name><tt:UseCount>1</tt:UseCount>'
            "<tt:Encoding>%s</tt:Encoding><tt:Resolution><tt:Width>%d</tt:Width><tt:Height>%d</tt:Height>"
            "</tt:Resolution><tt:Quality>5</tt:Quality><tt:RateControl><tt:FrameRateLimit>25</tt:FrameRateLimit>"
            "<tt:EncodingInterval>1</tt:EncodingInterval><tt:BitrateLimit>3000</tt:BitrateLimit></tt:RateControl>"
            "%s<tt:Multicast><tt:Address><tt:Type>IPv4</tt:Type><tt:IPv4Address>0.0.0.0</tt:IPv4Address>"
            "</tt:Address><tt:Port>0</tt:Port><tt:TTL>1</tt:TTL><tt:AutoStart>false</tt:AutoStart></tt:Multicast>"
            "<tt:SessionTimeout>PT60S</tt:SessionTimeout></tt:VideoEncoderConfiguration>"
            % (p.token, p.name, p.encoding, p.width, p.height, h264))


def media1_profile(p, tag):
    return ('<%s token="%s" fixed="true"><tt:Name>%s</tt:Name>%s%s</%s>'
            % (tag, p.token, p.name, source_config("tt:VideoSourceConfiguration"), media1_encoder(p), tag))


def media1_profiles(ctx, _request):
    out = "".join(media1_profile(p, "trt:Profiles") for p in ctx.cam.profiles if p.encoding in MEDIA1_ENCODINGS)
    return "<trt:GetProfilesResponse>%s</trt:GetProfilesResponse>" % out


def media1_get_profile(ctx, request):
    p = profile(ctx, child_text(request, "trt:ProfileToken"), True)
    return "<trt:GetProfileResponse>%s</trt:GetProfileResponse>" % media1_profile(p, "trt:Profile")


def media_uri(uri):
    return ("<trt:MediaUri><tt:Uri>%s</tt:Uri><tt:InvalidAfterConnect>false</tt:InvalidAfterConnect>"
            "<tt:InvalidAfterReboot>false</tt:InvalidAfterReboot><tt:Timeout>PT0S</tt:Timeout></trt:MediaUri>"
            % text(uri))


def media1_stream_uri(ctx, request):
    p = profile(ctx, child_text(request, "trt:ProfileToken"), True)
    stream = child_text(request, "trt:StreamSetup/tt:Stream", "RTP-Unicast")
    protocol = child_text(request, "trt:StreamSetup/tt:Transport/tt:Protocol", "RTSP")
    if stream != "RTP-Unicast" or protocol not in ("UDP", "TCP", "RTSP", "HTTP"):
        raise Refused(400, "Sender", "ter:InvalidArgVal", "ter:InvalidStreamSetup")
    return "<trt:GetStreamUriResponse>%s</trt:GetStreamUriResponse>" % media_uri(stream_uri(ctx, p))


def media1_snapshot_uri(ctx, request):
    p = profile(ctx, child_text(request, "trt:ProfileToken"), True)
    if not ctx.cam.snapshot:
        raise Refused(500, "Receiver", "ter:ActionNotSupported")
    return "<trt:GetSnapshotUriResponse>%s</trt:GetSnapshotUriResponse>" % media_uri(snapshot_uri(ctx, p))


def media2_encoder(p):
    return ('<tr2:VideoEncoder token="encoder_%s" GovLength="25" Profile="Main"><tt:Name>%s</tt:Name>'
            "<tt:UseCount>1</tt:UseCount><tt:Encoding>%s</tt:Encoding><tt:Resolution><tt:Width>%d</tt:Width>"
            '<tt:Height>%d</tt:Height></tt:Resolution><tt:RateControl ConstantBitRate="false"><tt:FrameRateLimit>25'
            "</tt:FrameRateLimit><tt:BitrateLimit>3000</tt:BitrateLimit></tt:RateControl><tt:Quality>5</tt:Quality>"
            "</tr2:VideoEncoder>" % (p.token, p.name, p.encoding, p.width, p.height))


def media2_profiles(ctx, request):
    token = child_text(request, "tr2:Token")
    types = {t for e in request.findall("tr2:Type", NS) for t in (e.text or "").split()}
    wanted = [p for p in ctx.cam.profiles if not token or p.token == token]
    if token and not wanted:
        raise Refused(400, "Sender", "ter:InvalidArgVal", "ter:NoProfile")
    out = []
    for p in wanted:
        configs = ""
        if types & {"All", "VideoSource"}:
            configs += source_config("tr2:VideoSource")
        if types & {"All", "VideoEncoder"}:
            configs += media2_encoder(p)
        out.append('<tr2:Profiles token="%s" fixed="true"><tr2:Name>%s</tr2:Name>%s</tr2:Profiles>'
                   % (p.token, p.name, "<tr2:Configurations>%s</tr2:Configurations>" % configs if configs else ""))
    return "<tr2:GetProfilesResponse>%s</tr2:GetProfilesResponse>" % "".join(out)


def media2_stream_uri(ctx, request):
    p = profile(ctx, child_text(request, "tr2:ProfileToken"), False)
    if child_text(request, "tr2:Protocol") not in ("RTSP", "RtspUnicast", "RtspOverHttp"):
        raise Refused(400, "Sender", "ter:InvalidArgVal", "ter:InvalidStreamSetup")
    return "<tr2:GetStreamUriResponse><tr2:Uri>%s</tr2:Uri></tr2:GetStreamUriResponse>" % text(stream_uri(ctx, p))


def media2_snapshot_uri(ctx, request):
    p = profile(ctx, child_text(request, "tr2:ProfileToken"), False)
    uri = snapshot_uri(ctx, p) if ctx.cam.snapshot else ""
    return "<tr2:GetSnapshotUriResponse><tr2:Uri>%s</tr2:Uri></tr2:GetSnapshotUriResponse>" % text(uri)


HANDLERS = {
    ("device", "tds", "GetSystemDateAndTime"): date_and_time,
    ("device", "tds", "GetDeviceInformation"): device_information,
    ("device", "tds", "GetServices"): services,
    ("device", "tds", "GetCapabilities"): capabilities,
    ("media", "trt", "GetProfiles"): media1_profiles,
    ("media", "trt", "GetProfile"): media1_get_profile,
    ("media", "trt", "GetStreamUri"): media1_stream_uri,
    ("media", "trt", "GetSnapshotUri"): media1_snapshot_uri,
    ("media2", "tr2", "GetProfiles"): media2_profiles,
    ("media2", "tr2", "GetStreamUri"): media2_stream_uri,
    ("media2", "tr2", "GetSnapshotUri"): media2_snapshot_uri,
}
_BY_TAG = {(service, "{%s}%s" % (NS[prefix], op)): f for (service, prefix, op), f in HANDLERS.items()}


def answer(ctx, service, request):
    """(HTTP status, SOAP envelope) for a request element of a service."""
    handler = _BY_TAG.get((service, request.tag))
    if handler is None:
        return 500, fault("Receiver", "ter:ActionNotSupported", "Optional Action Not Implemented")
    try:
        return 200, envelope(handler(ctx, request))
    except Refused as e:
        return e.status, fault(e.code, " ".join(e.subcodes), "Refused: " + e.subcodes[-1].partition(":")[2])


# --- WS-Discovery ---------------------------------------------------------------

SCOPES = ("onvif://www.onvif.org/type/video_encoder onvif://www.onvif.org/Profile/Streaming "
          "onvif://www.onvif.org/name/SimCam onvif://www.onvif.org/hardware/SimCam")


def probe_matches(data, host, port, cameras, sequence):
    """The ProbeMatches datagrams answering a Probe (none for anything else)."""
    try:
        probe = ET.fromstring(data)
    except ET.ParseError:
        return []
    body = probe.find("s:Body/d:Probe", NS)
    if body is None:
        return []
    types = [t.rpartition(":")[2] for t in child_text(body, "d:Types").split()]
    if any(t not in ("NetworkVideoTransmitter", "Device") for t in types):
        return []
    relates = child_text(probe, "s:Header/a:MessageID")
    out = []
    for prefix, endpoint in cameras:
        scopes = "%s onvif://www.onvif.org/location/%s" % (SCOPES, prefix.rpartition("/")[2] or "wsse")
        if not all(any(s == w or s.startswith(w.rstrip("/") + "/") for s in scopes.split())
                   for w in child_text(body, "d:Scopes").split()):
            continue
        out.append(
            '<?xml version="1.0" encoding="UTF-8"?>\n<s:Envelope %s><s:Header><a:MessageID>urn:uuid:%s</a:MessageID>'
            "<a:RelatesTo>%s</a:RelatesTo><a:To>http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous</a:To>"
            "<a:Action>http://schemas.xmlsoap.org/ws/2005/04/discovery/ProbeMatches</a:Action>"
            '<d:AppSequence InstanceId="1" MessageNumber="%d"/></s:Header><s:Body><d:ProbeMatches><d:ProbeMatch>'
            "<a:EndpointReference><a:Address>urn:uuid:%s</a:Address></a:EndpointReference>"
            "<d:Types>dn:NetworkVideoTransmitter</d:Types><d:Scopes>%s</d:Scopes>"
            "<d:XAddrs>http://%s:%d%s/onvif/device_service</d:XAddrs><d:MetadataVersion>1</d:MetadataVersion>"
            "</d:ProbeMatch></d:ProbeMatches></s:Body></s:Envelope>"
            % (_DECLS, uuid.uuid4(), text(relates), sequence.next_number(), endpoint, scopes, host, port, prefix))
    return out

"""A Prometheus endpoint for what the OpenTelemetry SDK collects (the ``otel`` extra).

Install a :class:`PrometheusReader` on the application's meter provider; each scrape
of its WSGI or ASGI application collects (the book's gauges read the database then)
and answers in the Prometheus text format, names and units mapped the usual way:
``http.client.request.duration`` (seconds) is ``http_client_request_duration_seconds``,
a counter gets ``_total``.
"""

from __future__ import annotations

import asyncio
import json
import math
import re
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Any

try:
    from opentelemetry.sdk.metrics.export import (Gauge, Histogram, MetricReader,
                                                  MetricsData, Sum)
except ImportError:  # pragma: no cover - depends on the installation
    raise ImportError("the Prometheus endpoint needs the OpenTelemetry SDK: "
                      "pip install 'quorvex-bo[otel]'") from None

from quorvex_bo.fx.web.adapters import ASGIApp, WSGIApp, asgi_app, wsgi_app
from quorvex_bo.fx.web.messages import Request, Response

__all__ = ["CONTENT_TYPE", "PrometheusReader", "render"]

CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
_UNITS = {"s": "seconds", "ms": "milliseconds", "By": "bytes"}
_INVALID = re.compile(r"[^a-zA-Z0-9_:]")
_INVALID_LABEL = re.compile(r"[^a-zA-Z0-9_]")
# The labels the renderer writes itself: an attribute named so is renamed.
_LABELS = frozenset({"otel_scope_name"})
_HISTOGRAM_LABELS = _LABELS | {"le"}


class PrometheusReader(MetricReader):
    """A metric reader that collects when scraped: ``MeterProvider(metric_readers=[
    reader])``, then serve :meth:`wsgi_app` or :meth:`asgi_app` (at ``/metrics``)."""

    def __init__(self) -> None:
        super().__init__()
        self._data: MetricsData | None = None
        self._lock = threading.Lock()  # one collection at a time, each rendered whole
        # The ASGI endpoint's collections: never on the loop's default executor, whose
        # threads the async book's database may need to answer the gauges' read.
        self._scraping = ThreadPoolExecutor(1, thread_name_prefix="quorvex-scrape")

    def _receive_metrics(self, metrics_data: MetricsData, timeout_millis: float = 10_000,
                         **kwargs: Any) -> None:
        self._data = metrics_data

    def shutdown(self, timeout_millis: float = 30_000, **kwargs: Any) -> None:
        self._scraping.shutdown(wait=False)

    def scrape(self) -> bytes:
        """Collects now; the metrics in the Prometheus text format."""
        with self._lock:
            self._data = None
            self.collect()
            return render(self._data)

    def wsgi_app(self) -> WSGIApp:
        """The endpoint for a WSGI server: any path, GET or HEAD."""
        def answer(request: Request) -> Response:
            return _NOT_ALLOWED if request.method not in ("GET", "HEAD") else \
                Response.of(200, self.scrape(), CONTENT_TYPE)
        return wsgi_app(answer)

    def asgi_app(self) -> ASGIApp:
        """The endpoint for an ASGI server; the collection runs on the reader's thread."""
        async def answer(request: Request) -> Response:
            if request.method not in ("GET", "HEAD"):
                return _NOT_ALLOWED
            text = await asyncio.get_running_loop().run_in_executor(self._scraping, self.scrape)
            return Response.of(200, text, CONTENT_TYPE)
        return asgi_app(answer)


_NOT_ALLOWED = Response(405, (("Allow", "GET, HEAD"), ("Content-Length", "0")), b"")


def _name(name: str, unit: str) -> str:
    unit = _UNITS.get(unit, "" if unit.startswith("{") or unit == "1" else unit)
    name = _INVALID.sub("_", name)
    if unit and not name.endswith("_" + _INVALID.sub("_", unit)):
        name += "_" + _INVALID.sub("_", unit)
    return name


def _labels(attributes: Any, ours: frozenset[str], *extra: tuple[str, str]) -> str:
    """``{name="value",…}``: attribute keys made label names (two keys that come out
    the same share the label, their values joined by ``;``; one that comes out as a
    label of ``ours``, the renderer's own, gets the prefix ``attr_``), booleans and
    sequences written as JSON; then the ``extra`` labels."""
    found: dict[str, str] = {}
    for key, value in (attributes or {}).items():
        label = _INVALID_LABEL.sub("_", str(key))
        if label[:1].isdigit() or label.startswith("__"):  # reserved or not a name
            label = "key_" + label
        label = "attr_" + label if label in ours else label
        text = json.dumps(list(value) if isinstance(value, (tuple, list)) else value) \
            if isinstance(value, (bool, tuple, list)) else str(value)
        found[label] = f"{found[label]};{text}" if label in found else text
    found.update(extra)
    return "{" + ",".join(f'{label}="{_escape(value)}"' for label, value in found.items()) + \
        "}" if found else ""


def _escape(value: str, quote: bool = True) -> str:
    value = value.replace("\\", "\\\\").replace("\n", "\\n")
    return value.replace('"', '\\"') if quote else value  # HELP text quotes nothing


def _number(value: float) -> str:
    if math.isinf(value):
        return "+Inf" if value > 0 else "-Inf"
    if math.isnan(value):
        return "NaN"
    return repr(float(value)) if isinstance(value, float) else str(value)


def render(data: MetricsData | None) -> bytes:
    """Metrics in the Prometheus text format (exponential histograms are left out).

    Metrics of one name from several scopes (an instrumented transport reports
    ``http.client.request.duration`` too) form one family, the later scopes' series
    labelled ``otel_scope_name``. A later metric whose names clash with a family's (a
    gauge ``x_total`` after a counter ``x``, a gauge ``x_count`` after a histogram
    ``x``) is left out: a family named twice breaks the whole scrape.
    """
    families: dict[str, tuple[str, str, str, list[str]]] = {}  # (kind, metric, scope, lines)
    taken: set[str] = set()  # the names of the families' series, and the families'
    for resource in data.resource_metrics if data is not None else ():
        for scope in resource.scope_metrics:
            for metric in scope.metrics:
                points: Any = metric.data
                counter = isinstance(points, Sum) and points.is_monotonic
                kind = "counter" if counter else "histogram" \
                    if isinstance(points, Histogram) else "gauge" \
                    if isinstance(points, (Gauge, Sum)) else None
                if kind is None:
                    continue
                # A counter's series end in _total (once); its family is named without.
                name = _name(metric.name, metric.unit or "")
                if counter and not name.endswith("_total"):
                    name += "_total"
                family = families.get(name)
                if family is None:
                    names = {name, name[:-6]} if counter else {name, *(
                        name + end for end in ("_bucket", "_sum", "_count"))} \
                        if kind == "histogram" else {name}
                    if not taken.isdisjoint(names):
                        continue
                    taken |= names
                    family = families[name] = (kind, metric.name, scope.scope.name, [
                        f"# HELP {name} {_escape(metric.description or metric.name, False)}",
                        f"# TYPE {name} {kind}"])
                elif family[:2] != (kind, metric.name):
                    continue
                lines = family[3]
                extra = () if family[2] == scope.scope.name else (
                    ("otel_scope_name", scope.scope.name),)
                ours = _HISTOGRAM_LABELS if kind == "histogram" else _LABELS
                for point in points.data_points:
                    labels = point.attributes
                    if kind != "histogram":
                        lines.append(f"{name}{_labels(labels, ours, *extra)} "
                                     f"{_number(point.value)}")
                        continue
                    total = 0
                    bounds = [*point.explicit_bounds, math.inf]
                    for bound, count in zip(bounds, point.bucket_counts):
                        total += count
                        le = _labels(labels, ours, *extra, ("le", _number(bound)))
                        lines.append(f"{name}_bucket{le} {total}")
                    rest = _labels(labels, ours, *extra)
                    lines.append(f"{name}_sum{rest} {_number(point.sum)}")
                    lines.append(f"{name}_count{rest} {point.count}")
    lines = [line for *_, family_lines in families.values() for line in family_lines]
    return ("\n".join(lines) + "\n").encode() if lines else b""

"""A caller of kestrix.http that the type checker must accept."""

from __future__ import annotations

from decimal import Decimal
from typing import Any

from kestrix.http import (
    DEFAULT_USER_AGENT,
    ConnectionError,
    HttpRequestClient,
    RequestException,
)


class Traced(HttpRequestClient):
    def request(
        self,
        method: str,
        url: str,
        headers: dict[str, Any] | None = None,
        params: dict[Any, Any] | None = None,
        json: dict[str, Any] | None = None,
        data: dict[Any, Any] | None = None,
        timeout: float | tuple[float | None, float | None] | None = None,
        **kwargs: Any,
    ) -> Any:
        return super().request(method, url, headers, params, json, data, timeout, **kwargs)


def call_service(url: str) -> tuple[int, bytes, float]:
    client = HttpRequestClient()
    HttpRequestClient(5, 30.0, None, DEFAULT_USER_AGENT)
    HttpRequestClient(max_retries=True, base_timeout=Decimal("2.5"), verify_ssl="yes", user_agent="bot/1")
    retries: int = client.max_retries
    timeout: int = client.base_timeout
    verify: bool = client.verify_ssl
    client.session.headers["X-Caller"] = "kestrix"
    del retries, timeout, verify

    resp = client.get(url, params={"q": "x", "n": 1}, headers={"Accept": "application/json"}, timeout=2.5)
    client.post(url, json={"a": [1, 2]}, timeout=(1.0, None), stream=True)
    client.post(url, data={"k": "v"}, headers=None, timeout=3)
    client.request("put", url, json={"a": 1}, verify=True)
    Traced(max_retries=1).get(url)

    wait: float = HttpRequestClient._calc_backoff_wait(2) + client._calc_backoff_wait(1.5)
    try:
        client.get(url)
    except ConnectionError:
        pass
    except RequestException as exc:
        print(exc.args)
    return resp.status_code, resp.content, wait

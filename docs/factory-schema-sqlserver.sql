-- The factory's database of station records: schema version 1, Microsoft SQL Server.
-- qefftool runs this file itself, a statement at a time and in one
-- transaction, on a database without a qeff_schema table; an administrator
-- may run it instead: sqlcmd -b -i docs/factory-schema-sqlserver.sql (not tried:
-- no SQL Server could be run where qefftool is built)
-- Statements end with ';' at a line's end. Times are UTC.

-- Which version of these tables the database holds: one row.
CREATE TABLE qeff_schema (
    version integer NOT NULL
);

-- Every line of every station's record, as its file holds it.
CREATE TABLE qeff_record (
    station nvarchar(200) NOT NULL,     -- the station's name (--station)
    run nvarchar(64) NOT NULL,          -- one run of the station, from its start to its stop
    line_number bigint NOT NULL,        -- the line's number in the run's record, from 1
    recorded_at datetime2(3) NOT NULL,  -- the line's "time"
    serial nvarchar(200),               -- the product's serial number; NULL on start and stop lines
    package_sha256 nvarchar(64) NOT NULL,
    outcome nvarchar(40),               -- "upgraded", "refused", ...; NULL on start and stop lines
    line varbinary(max) NOT NULL,       -- the line's bytes (UTF-8), without its newline
    CONSTRAINT qeff_record_key PRIMARY KEY (station, run, line_number)
);
CREATE INDEX qeff_record_product ON qeff_record (serial, package_sha256);
-- The line's page reads the rows of today and of recent days.
CREATE INDEX qeff_record_time ON qeff_record (recorded_at);

-- The product a station is upgrading: no two stations upgrade one product.
CREATE TABLE qeff_claim (
    package_sha256 nvarchar(64) NOT NULL,
    serial nvarchar(200) NOT NULL,
    station nvarchar(200) NOT NULL,     -- the station that holds the claim
    claimed_at datetime2(3) NOT NULL,
    expires_at datetime2(3) NOT NULL,   -- after it, another station may take the product
    CONSTRAINT qeff_claim_key PRIMARY KEY (package_sha256, serial)
);

-- Each station's last sign of life, written every few seconds while it runs
-- (seen_at by the station's clock), and once more when it stops.
CREATE TABLE qeff_heartbeat (
    station nvarchar(200) NOT NULL,
    state nvarchar(40) NOT NULL,        -- "watching" "paused" "stopping" "stopped"
    run nvarchar(64),
    package nvarchar(1000),             -- the package's file
    package_sha256 nvarchar(64),
    firmware_code nvarchar(200),        -- the package's firmware code
    page nvarchar(1000),                -- the station's own page, where it serves one
    status nvarchar(max),               -- the station's GET /api/status JSON, as it was then
    seen_at datetime2(3) NOT NULL,
    CONSTRAINT qeff_heartbeat_key PRIMARY KEY (station)
);

INSERT INTO qeff_schema (version) VALUES (1);

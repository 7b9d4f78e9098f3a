-- The built-in sample database: a small shop with related tables, a few thousand rows
-- and every SQLite storage class (INTEGER, REAL, TEXT, BLOB, NULL). Rows are generated
-- deterministically so that every build holds the same data.
PRAGMA foreign_keys = ON;
BEGIN;

CREATE TABLE customers (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL,
    email TEXT NOT NULL UNIQUE,
    city TEXT,
    signed_up DATE NOT NULL DEFAULT (date('now')),
    vip BOOLEAN NOT NULL DEFAULT 0
);

CREATE TABLE products (
    id INTEGER PRIMARY KEY,
    sku VARCHAR(16) NOT NULL UNIQUE,
    title TEXT NOT NULL,
    price NUMERIC(10, 2) NOT NULL,
    weight_kg REAL,
    thumbnail BLOB
);

CREATE TABLE orders (
    id INTEGER PRIMARY KEY,
    customer_id INTEGER NOT NULL REFERENCES customers(id),
    placed_at TIMESTAMP NOT NULL,
    status TEXT NOT NULL DEFAULT 'new' CHECK (status IN ('new', 'paid', 'shipped', 'cancelled')),
    note TEXT
);

CREATE TABLE order_items (
    order_id INTEGER NOT NULL REFERENCES orders(id),
    line INTEGER NOT NULL,
    product_id INTEGER NOT NULL REFERENCES products(id),
    quantity INTEGER NOT NULL DEFAULT 1,
    unit_price REAL NOT NULL,
    PRIMARY KEY (order_id, line)
);

CREATE INDEX orders_by_customer ON orders(customer_id);
CREATE VIEW order_totals AS
    SELECT o.id AS order_id, c.name AS customer, o.status,
           round(sum(i.quantity * i.unit_price), 2) AS total
    FROM orders o JOIN customers c ON c.id = o.customer_id
    JOIN order_items i ON i.order_id = o.id
    GROUP BY o.id;

WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 500)
INSERT INTO customers (id, name, email, city, signed_up, vip)
SELECT i,
       (SELECT value FROM json_each('["Ada","Grace","Linus","Barbara","Ken","Margaret","Dennis","Frances","Edsger","Radia"]')
         WHERE key = i % 10) || ' ' ||
       (SELECT value FROM json_each('["Lovelace","Hopper","Torvalds","Liskov","Thompson","Hamilton","Ritchie","Allen","Dijkstra","Perlman"]')
         WHERE key = (i / 10) % 10),
       'customer' || i || '@example.com',
       CASE WHEN i % 7 = 0 THEN NULL
            ELSE (SELECT value FROM json_each('["Lisbon","Oslo","Kraków","São Paulo","Zürich","Tokyo","Nairobi"]')
                   WHERE key = i % 7) END,
       date('2023-01-01', '+' || (i * 3) || ' days'),
       i % 11 = 0
FROM n;

WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 120)
INSERT INTO products (id, sku, title, price, weight_kg, thumbnail)
SELECT i,
       printf('SKU-%05d', i),
       (SELECT value FROM json_each('["Notebook","Fountain pen","Ink bottle","Desk lamp","Paper ream","Stapler","Ruler","Eraser"]')
         WHERE key = i % 8) || ' model ' || i,
       round(1.5 + (i * 37 % 200) / 4.0, 2),
       CASE WHEN i % 9 = 0 THEN NULL ELSE round(0.05 + (i % 13) * 0.125, 3) END,
       CASE WHEN i % 4 = 0 THEN x'89504E470D0A1A0A0000000D49484452' END
FROM n;

WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000)
INSERT INTO orders (id, customer_id, placed_at, status, note)
SELECT i,
       1 + (i * 7919) % 500,
       datetime('2024-01-01 08:00:00', '+' || (i * 137) || ' minutes'),
       (SELECT value FROM json_each('["new","paid","shipped","shipped","cancelled"]') WHERE key = i % 5),
       CASE WHEN i % 25 = 0 THEN 'gift wrap, please' WHEN i % 40 = 0 THEN '' END
FROM n;

WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5000)
INSERT INTO order_items (order_id, line, product_id, quantity, unit_price)
SELECT 1 + (i - 1) % 2000,
       1 + (i - 1) / 2000,
       1 + (i * 31) % 120,
       1 + i % 4,
       (SELECT price FROM products WHERE id = 1 + (i * 31) % 120)
FROM n;

COMMIT;
